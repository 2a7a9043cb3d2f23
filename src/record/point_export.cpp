// Exports of one frame to the point-cloud formats other tools read: PLY 1.0 and PCD 0.7, both
// binary, holding the frame's valid points as float x, y, z in metres. Called by the record panel
// (the frame on screen) on the GUI thread and by quarvis-decode (every good frame); no state.
#include "record/record.h"

#include "app/app.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

namespace {

constexpr int floatBytes = 4;

void appendFloatLittleEndian(std::string& out, float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    uint8_t bytes[floatBytes];
    writeLittleEndian(bytes, bits, floatBytes);
    out.append(reinterpret_cast<const char*>(bytes), floatBytes);
}

void appendPlyHeader(std::string& out, int points) {
    out += "ply\n"
           "format binary_little_endian 1.0\n"
           "element vertex " + std::to_string(points) + "\n"
           "property float x\n"
           "property float y\n"
           "property float z\n"
           "end_header\n";
}

void appendPcdHeader(std::string& out, int points) {
    const std::string count = std::to_string(points);
    out += "# .PCD v0.7 - Point Cloud Data file format\n"
           "VERSION .7\n"
           "FIELDS x y z\n"
           "SIZE 4 4 4\n"
           "TYPE F F F\n"
           "COUNT 1 1 1\n"
           "WIDTH " + count + "\n"
           "HEIGHT 1\n"
           "VIEWPOINT 0 0 0 1 0 0 0\n"
           "POINTS " + count + "\n"
           "DATA binary\n";
}

}  // namespace

const char* cloudExtension(CloudFormat format) { return format == CloudFormat::ply ? ".ply" : ".pcd"; }

int validPointCount(const PointFrame& frame) {
    int count = 0;
    for (uint32_t valid : frame.valid) count += valid != 0;
    return count;
}

void appendCloudFile(std::string& out, CloudFormat format, const PointFrame& frame) {
    const int points = validPointCount(frame);
    if (format == CloudFormat::ply) {
        appendPlyHeader(out, points);
    } else {
        appendPcdHeader(out, points);
    }
    for (int p = 0; p < pointsPerFrame; ++p) {
        if (frame.valid[p] == 0) continue;
        for (int k = 0; k < 3; ++k) appendFloatLittleEndian(out, frame.xyz[p][k]);
    }
}

int writeCloudFile(int file, CloudFormat format, const PointFrame& frame, std::string& buffer) {
    buffer.clear();
    appendCloudFile(buffer, format, frame);
    return writeWhole(file, buffer.data(), buffer.size()) ? 0 : errno;
}

std::string workingFolderName() {
    char folder[PATH_MAX];
    if (::getcwd(folder, sizeof folder) != nullptr) return folder;
    if (errno == ENOENT) return "the working folder, which was deleted";
    return "the working folder (" + std::string(std::strerror(errno)) + ")";
}

CloudExport exportFrameOnScreen(CloudFormat format, const PointFrame& frame) {
    CloudExport result;
    result.points = validPointCount(frame);
    if (result.points == 0) return result;
    std::signal(SIGXFSZ, SIG_IGN);  // a file size limit must fail the write, not end the viewer
    result.folder = workingFolderName();
    const int file = createStampedFile(makeTimestamp(), cloudExtension(format), result.name);
    if (file < 0) {
        result.error = errno;
        return result;
    }
    std::string buffer;
    result.error = writeCloudFile(file, format, frame, buffer);
    if (::close(file) != 0 && result.error == 0) result.error = errno;
    // An export is all or nothing: a partly written file (made by us, exclusively) is removed.
    if (result.error != 0) ::unlink(result.name.c_str());
    return result;
}
