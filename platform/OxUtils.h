#pragma once

// Null-tolerant text and memory helpers, and the file helpers of the settings code.

namespace Lk {

class OxString;

int oxstrlen(const char* s);
int oxstrlen(const char* s, int max);
const char* oxstrstr(const char* haystack, const char* needle);
int oxstrcmp(const char* a, const char* b);
int oxstrncmp(const char* a, const char* b, int n);
void oxmemcpy(void* dst, const void* src, int n);
void oxmemset(void* dst, int value, int n);
// qsort: not stable.
void oxsort(void* base, int n, int size, int (*cmp)(const void*, const void*));
char oxtoupper(char c);
char oxtolower(char c);
void oxtoupper(char* s);
void oxtolower(char* s);
// The value of a hexadecimal digit of either case; -1 for any other character.
int oxhexvalue(int c);

// True when the path exists and is not a directory.
bool FileExists(const OxString& path);
// Creates the directory and its missing parents; only below an existing directory.
bool forceDirectories(const char* path);
bool ForceDirectories(const OxString& path);

// Reads the whole file into a new buffer (no terminating NUL); null with a text in
// `error` on failure. `size` is changed only on success.
void* getMemoryMappedFile(const OxString& path, int& size, OxString* error);
void freeMemoryMappedFile(void* buffer);

// Replaces the file at `path` by `len` bytes of `data` without ever leaving a truncated
// file behind: the bytes go to a temporary file in the same folder, which is flushed to
// disk and renamed over the old one. False on any failure; the old file is then untouched.
// Temporary files that saves of ended processes left beside the target are removed.
bool writeFileReplacing(const OxString& path, const void* data, int len);

} // namespace Lk
