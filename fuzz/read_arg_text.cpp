// The 8-bit setters' argument, which may really be UTF-16. The text ends
// exactly where readable memory ends, so any read past what the library may
// touch faults; a copy at the end of a heap block lets the address checker
// watch the same reads.
//
// First byte: '0' 8-bit text, '1' UTF-16 text (an odd payload length puts the
// text at an odd address), '2' a one-character 8-bit text followed by bytes up
// to the end of memory with no terminator (an 8-bit text misread as UTF-16).
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "api/text.h"
#include "fuzz_support.h"

using namespace movu;

// What the argument must read as, given n readable bytes at b.
static std::string Expected(const unsigned char* b, std::size_t n) {
    if (n < 4 || b[0] == 0 || b[1] != 0 || b[2] == 0 || b[3] != 0) return ValidUtf8(reinterpret_cast<const char*>(b));
    std::u16string units;
    for (std::size_t i = 0; i + 1 < n && (b[i] | b[i + 1]) != 0; i += 2)
        units.push_back(static_cast<char16_t>(b[i] | (b[i + 1] << 8)));
    return Utf16ToUtf8(units);
}

MOVU_FUZZ_TARGET(payload) {
    // A readable page followed by one that faults.
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    static unsigned char* const end = [] {
        void* p = mmap(nullptr, page * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED || mprotect(static_cast<unsigned char*>(p) + page, page, PROT_NONE) != 0) std::abort();
        return static_cast<unsigned char*>(p) + page;
    }();
    const int mode = fuzz::TakeMode(payload, 3);
    payload = payload.substr(0, page - 8);

    std::string text;  // the argument as it lies in memory, terminator included
    std::size_t pad = 0;
    if (mode == 0) {
        text = payload.substr(0, payload.find('\0'));
        text.push_back('\0');
    } else if (mode == 1) {
        pad = payload.size() % 2;
        std::size_t n = 0;
        while (n + 1 < payload.size() && (payload[n] != 0 || payload[n + 1] != 0)) n += 2;
        text = payload.substr(0, n);
        text.append(2, '\0');
    } else {
        text = std::string(1, payload.empty() ? 'x' : payload[0]) + '\0';
        if (payload.size() > 1) text.append(payload.substr(1));
    }

    unsigned char* at = end - text.size() - pad;
    std::memcpy(at, text.data(), text.size());
    std::memset(at + text.size(), 0xA5, pad);
    const std::string read = ReadArgTextA(reinterpret_cast<const char*>(at));
    fuzz::Check(read == Expected(at, text.size()));

    // The same text at the very end of a heap block that ends on a page
    // boundary: what follows is mapped but not the caller's, so only the
    // deliberate look-ahead may touch it. A one-character 8-bit text then
    // reads as whatever lies behind it.
    if (mode != 2) {
        static char* block = static_cast<char*>(std::aligned_alloc(4096, 4096));
        char* heap = block + 4096 - text.size();
        std::memcpy(heap, text.data(), text.size());
        if (!(mode == 0 && text.size() == 2)) fuzz::Check(ReadArgTextA(heap) == read);
    }
}
