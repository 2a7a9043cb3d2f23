# Build step: writes a C++ source holding the bytes of the two fonts the viewer embeds. A font file
# that is missing becomes an empty array, and the viewer falls back to ImGui's own font.
# Called as: cmake -DFONT_DIR=... -DOUTPUT=... -P embed_fonts.cmake
function(embed_font file symbol out_var)
  set(path "${FONT_DIR}/${file}")
  if(EXISTS "${path}")
    file(READ "${path}" hex HEX)
    string(LENGTH "${hex}" hex_length)
    math(EXPR size "${hex_length} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  else()
    set(size 0)
    set(bytes "0x00,")
  endif()
  set(${out_var} "alignas(4) const unsigned char ${symbol}[] = {\n${bytes}\n};\nconst size_t ${symbol}Size = ${size};\n\n" PARENT_SCOPE)
endfunction()

embed_font(DroidSans.ttf droidSansTtf text_font)
embed_font(fa-solid-900.ttf fontAwesomeSolidTtf icon_font)
file(WRITE "${OUTPUT}.tmp"
  "// The two fonts of the viewer, embedded at build time from third_party/fonts (generated file).\n"
  "#include \"main/embedded_fonts.h\"\n\n"
  "${text_font}${icon_font}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
