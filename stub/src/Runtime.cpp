// The few C library functions that zlib, the archive reader and the compiler
// call, so that the stub links no C runtime: its only static import is
// kernel32, which every process has loaded before any DLL beside the file
// could be. Everything else is loaded from System32 once the search order is
// restricted.
#include <windows.h>

#include <stddef.h>
#include <stdint.h>

extern "C" {

void* malloc(size_t size) {
    return HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
}

void* calloc(size_t count, size_t size) {
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    const size_t total = count * size;
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, total ? total : 1);
}

void free(void* block) {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}

// Plain loops; the build keeps the compiler from turning them back into
// calls to themselves (-fno-tree-loop-distribute-patterns).
void* memcpy(void* to, const void* from, size_t length) {
    auto* out = static_cast<unsigned char*>(to);
    const auto* in = static_cast<const unsigned char*>(from);
    while (length--) *out++ = *in++;
    return to;
}

void* memmove(void* to, const void* from, size_t length) {
    auto* out = static_cast<unsigned char*>(to);
    const auto* in = static_cast<const unsigned char*>(from);
    if (out < in) {
        while (length--) *out++ = *in++;
    } else {
        while (length--) out[length] = in[length];
    }
    return to;
}

void* memset(void* to, int value, size_t length) {
    auto* out = static_cast<unsigned char*>(to);
    while (length--) *out++ = static_cast<unsigned char>(value);
    return to;
}

int memcmp(const void* left, const void* right, size_t length) {
    const auto* a = static_cast<const unsigned char*>(left);
    const auto* b = static_cast<const unsigned char*>(right);
    for (; length--; ++a, ++b)
        if (*a != *b) return *a < *b ? -1 : 1;
    return 0;
}

void* memchr(const void* block, int value, size_t length) {
    const auto* p = static_cast<const unsigned char*>(block);
    for (; length--; ++p)
        if (*p == static_cast<unsigned char>(value)) return const_cast<unsigned char*>(p);
    return nullptr;
}

char* strchr(const char* text, int value) {
    for (;; ++text) {
        if (*text == static_cast<char>(value)) return const_cast<char*>(text);
        if (!*text) return nullptr;
    }
}

size_t strlen(const char* text) {
    size_t n = 0;
    while (text[n]) ++n;
    return n;
}

} // extern "C"
