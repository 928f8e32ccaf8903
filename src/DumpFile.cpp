#include "src/DumpFile.h"

#include <cerrno>
#include <cstring>

bool DumpFile::open(const char* path) {
    std::lock_guard<std::mutex> hold(mutex);
    if (file != nullptr)
        std::fclose(file);
    file = std::fopen(path, "wb+");
    if (file == nullptr) {
        std::fprintf(stderr, "Cannot open %s for dumping: %s\n", path, std::strerror(errno));
        return false;
    }
    std::printf("Dumping to %s...\n", path);
    std::fflush(stdout);
    return true;
}

void DumpFile::write(const unsigned char* data, int length) {
    std::lock_guard<std::mutex> hold(mutex);
    if (file == nullptr || data == nullptr || length <= 0)
        return;
    std::fwrite(data, 1, static_cast<size_t>(length), file);
    std::fflush(file);
}

void DumpFile::close() {
    std::lock_guard<std::mutex> hold(mutex);
    if (file != nullptr)
        std::fclose(file);
    file = nullptr;
}

bool DumpFile::isOpen() const {
    std::lock_guard<std::mutex> hold(mutex);
    return file != nullptr;
}
