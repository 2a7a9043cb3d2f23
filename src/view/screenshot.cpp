// Screenshots: the window's pixels as a PNG file in the working folder, under a time-stamped name
// that never replaces a file. Called by the frame loop (F12 or the Window panel's button) on the GUI
// thread, with the Plotter's context current and the frame drawn but not yet shown.
#include "view/view.h"

#include "app/app.h"
#include "record/record.h"

#include <epoxy/gl.h>
#include <stb_image_write.h>

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int bytesPerPixel = 3;  // RGB: the window is opaque
constexpr const char* screenshotPrefix = "quarvis-";

void appendBytes(void* context, void* data, int size) {
    auto* out = static_cast<std::vector<unsigned char>*>(context);
    const auto* bytes = static_cast<const unsigned char*>(data);
    out->insert(out->end(), bytes, bytes + size);
}

std::string fullPath(const std::string& name) {
    char folder[PATH_MAX];
    if (::getcwd(folder, sizeof folder) == nullptr) return name;
    return std::string(folder) + "/" + name;
}

// The window is multisampled. Read straight from its back buffer, some drivers give one sample a
// pixel: edges come out jagged, and where two lines cross the wrong one wins. So the frame is
// resolved into a plain framebuffer first, as the swap resolves it for the screen, and read there.
void readResolvedFrame(int width, int height, unsigned char* rgb) {
    GLuint framebuffer = 0, colour = 0;
    glGenRenderbuffers(1, &colour);
    glBindRenderbuffer(GL_RENDERBUFFER, colour);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
    glGenFramebuffers(1, &framebuffer);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffer);
    glFramebufferRenderbuffer(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    glReadBuffer(GL_BACK);
    glBlitFramebuffer(0, 0, width, height, 0, 0, width, height, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, rgb);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glBindRenderbuffer(GL_RENDERBUFFER, 0);
    glDeleteFramebuffers(1, &framebuffer);
    glDeleteRenderbuffers(1, &colour);
}

}  // namespace

int writePng(int file, const unsigned char* rgb, int width, int height) {
    std::vector<unsigned char> encoded;
    if (stbi_write_png_to_func(appendBytes, &encoded, width, height, bytesPerPixel, rgb, width * bytesPerPixel) == 0)
        return ENOMEM;
    if (!writeWhole(file, encoded.data(), encoded.size())) return errno;
    return 0;
}

bool saveScreenshot(int width, int height, std::string& path, std::string& error) {
    if (width <= 0 || height <= 0) {
        error = "the window has no pixels to save";
        return false;
    }
    // GL rows run bottom to top; a PNG's top to bottom.
    const size_t rowBytes = static_cast<size_t>(width) * bytesPerPixel;
    std::vector<unsigned char> pixels(rowBytes * static_cast<size_t>(height));
    readResolvedFrame(width, height, pixels.data());
    std::vector<unsigned char> rows(pixels.size());
    for (int y = 0; y < height; ++y)
        std::memcpy(&rows[static_cast<size_t>(y) * rowBytes], &pixels[static_cast<size_t>(height - 1 - y) * rowBytes], rowBytes);

    std::string name;
    const int file = createStampedFile(screenshotPrefix + makeTimestamp(), ".png", name);
    path = fullPath(name);
    if (file < 0) {
        error = std::strerror(errno);
        return false;
    }
    const int failure = writePng(file, rows.data(), width, height);
    const bool closed = ::close(file) == 0;
    if (failure != 0 || !closed) {
        error = std::strerror(failure != 0 ? failure : errno);
        ::unlink(name.c_str());  // ours, created exclusively: a partial picture goes
        return false;
    }
    return true;
}
