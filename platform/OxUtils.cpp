#include "platform/OxUtils.h"

#include "platform/OxString.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace Lk {

int oxstrlen(const char* s) {
    return s == nullptr ? 0 : static_cast<int>(std::strlen(s));
}

int oxstrlen(const char* s, int max) {
    if (s == nullptr)
        return 0;
    if (max < 1)
        return max;
    return static_cast<int>(strnlen(s, static_cast<size_t>(max)));
}

const char* oxstrstr(const char* haystack, const char* needle) {
    if (haystack == nullptr || needle == nullptr)
        return nullptr;
    return std::strstr(haystack, needle);
}

// A null text compares as the empty one.
int oxstrcmp(const char* a, const char* b) {
    return std::strcmp(a ? a : "", b ? b : "");
}

int oxstrncmp(const char* a, const char* b, int n) {
    return n <= 0 ? 0 : std::strncmp(a ? a : "", b ? b : "", static_cast<size_t>(n));
}

void oxmemcpy(void* dst, const void* src, int n) {
    if (n > 0 && dst != nullptr && src != nullptr)
        std::memcpy(dst, src, static_cast<size_t>(n));
}

void oxmemset(void* dst, int value, int n) {
    if (n > 0)
        std::memset(dst, value & 0xFF, static_cast<size_t>(n));
}

void oxsort(void* base, int n, int size, int (*cmp)(const void*, const void*)) {
    if (base != nullptr && n > 1)
        std::qsort(base, static_cast<size_t>(n), static_cast<size_t>(size), cmp);
}

char oxtoupper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

char oxtolower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

int oxhexvalue(int c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void oxtoupper(char* s) {
    for (; s != nullptr && *s != 0; ++s)
        *s = oxtoupper(*s);
}

void oxtolower(char* s) {
    for (; s != nullptr && *s != 0; ++s)
        *s = oxtolower(*s);
}

namespace {

bool isDirectory(const char* path) {
    struct stat info;
    return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

bool FileExists(const OxString& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool forceDirectories(const char* path) {
    if (path == nullptr || *path == 0)
        return false;
    if (std::strcmp(path, "/") == 0)
        return true;
    if (isDirectory(path))
        return true;
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr || slash == path)
        return false;
    const OxString parent(path, static_cast<int>(slash - path));
    if (!forceDirectories(parent.c_str()))
        return false;
    // EEXIST is success only when someone else made the directory meanwhile, not for a file.
    return ::mkdir(path, 0777) == 0 || (errno == EEXIST && isDirectory(path));
}

bool ForceDirectories(const OxString& path) {
    return forceDirectories(path.c_str());
}

void* getMemoryMappedFile(const OxString& path, int& size, OxString* error) {
    // A directory opens for reading on Linux but has no bytes to give: refuse it here.
    FILE* file = isDirectory(path.c_str()) ? nullptr : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (error != nullptr)
            *error = "error opening file: : " + path;
        return nullptr;
    }
    long length = -1;
    if (std::fseek(file, 0, SEEK_END) == 0)
        length = std::ftell(file);
    if (length < 0 || length >= 0x7FFFFFFF || std::fseek(file, 0, SEEK_SET) != 0) {
        std::fclose(file);
        if (error != nullptr)
            *error = "file too large (2GB limit): " + path;
        return nullptr;
    }
    // One spare byte so that even an empty file gets a buffer of its own.
    void* buffer = std::malloc(static_cast<size_t>(length) + 1);
    if (buffer == nullptr) {
        std::fclose(file);
        if (error != nullptr)
            *error = OxString::format("out of memory (trying to allocate %ld bytes).", length);
        return nullptr;
    }
    const size_t got = std::fread(buffer, 1, static_cast<size_t>(length), file);
    std::fclose(file);
    if (got != static_cast<size_t>(length)) {
        std::free(buffer);
        if (error != nullptr)
            *error = "error reading file into buffer : " + path;
        return nullptr;
    }
    size = static_cast<int>(length);
    return buffer;
}

void freeMemoryMappedFile(void* buffer) {
    std::free(buffer);
}

namespace {

bool writeAll(int fd, const char* data, int len) {
    while (len > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(len));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<int>(n);
    }
    return true;
}

// A settings file kept elsewhere and linked into place stays linked: the file it points
// to is the one replaced.
std::string resolvedTarget(const OxString& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        char* real = ::realpath(path.c_str(), nullptr);
        if (real != nullptr) {
            std::string target(real);
            std::free(real);
            return target;
        }
    }
    return path.c_str();
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

// Makes the rename itself durable; a folder that cannot be synced loses nothing but
// that guarantee.
void syncFolderOf(const std::string& path) {
    const int fd = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Temporary files are named "<target>.tmp<pid>-<sequence>".
const char* const kTemporaryMark = ".tmp";

// Reads a run of 1 to 10 digits at *text and moves past it; -1 for none or more.
long long readNumber(const char*& text) {
    long long value = 0;
    int digits = 0;
    for (; *text >= '0' && *text <= '9'; ++text, ++digits)
        value = digits < 10 ? value * 10 + (*text - '0') : value;
    return digits == 0 || digits > 10 ? -1 : value;
}

// The process that made the temporary file `name` for the file `baseName`, or -1 when
// `name` is not such a file.
pid_t ownerOfTemporary(const char* name, const std::string& baseName) {
    const std::string prefix = baseName + kTemporaryMark;
    if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0)
        return -1;
    const char* rest = name + prefix.size();
    const long long pid = readNumber(rest);
    if (pid <= 0 || pid > INT_MAX || *rest++ != '-' || readNumber(rest) < 0 || *rest != 0)
        return -1;
    return static_cast<pid_t>(pid);
}

// A save that was killed leaves its temporary file behind; the next save removes those
// whose process is gone. Files of running processes (other saves going on now) and any
// other names are left alone.
void removeStaleTemporaries(const std::string& target) {
    const std::string folder = folderOf(target);
    const std::string baseName = target.substr(target.rfind('/') + 1);
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        const pid_t owner = ownerOfTemporary(entry->d_name, baseName);
        if (owner > 0 && owner != ::getpid() && ::kill(owner, 0) != 0 && errno == ESRCH)
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

} // namespace

bool writeFileReplacing(const OxString& path, const void* data, int len) {
    if (len < 0 || (data == nullptr && len > 0))
        return false;
    // The temporary file sits beside the target so that the rename stays on one file
    // system; open() applies the umask as for any new file.
    const std::string target = resolvedTarget(path);
    removeStaleTemporaries(target);
    static std::atomic<unsigned> sequence{0};
    std::string tempPath;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        tempPath =
            target + kTemporaryMark + std::to_string(::getpid()) + "-" + std::to_string(sequence++);
        fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    struct stat old;
    bool ok = ::stat(target.c_str(), &old) != 0 || ::fchmod(fd, old.st_mode & 07777) == 0;
    ok = ok && writeAll(fd, static_cast<const char*>(data), len);
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(tempPath.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(tempPath.c_str());
        return false;
    }
    syncFolderOf(target);
    return true;
}

} // namespace Lk
