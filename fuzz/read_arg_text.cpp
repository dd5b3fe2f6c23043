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

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/text.h"
#include "fuzz_support.h"

using namespace movu;

namespace {

struct EdgePage {
    unsigned char* end = nullptr;  // first byte that faults
    std::size_t size = 0;
    EdgePage() {
        size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, size * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED || mprotect(static_cast<unsigned char*>(p) + size, size, PROT_NONE) != 0) std::abort();
        end = static_cast<unsigned char*>(p) + size;
    }
};

// What the argument must read as, given n readable bytes at b.
std::u16string Expected(const unsigned char* b, std::size_t n) {
    if (n >= 4 && b[0] != 0 && b[1] == 0 && b[2] != 0 && b[3] == 0) {
        std::u16string units;
        for (std::size_t i = 0; i + 1 < n; i += 2) {
            char16_t unit = static_cast<char16_t>(b[i] | (b[i + 1] << 8));
            if (unit == 0) break;
            units.push_back(unit);
        }
        return TrimSpace(units);
    }
    return TrimSpace(Utf8ToUtf16(reinterpret_cast<const char*>(b)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static EdgePage page;
    if (size < 1 || size > page.size - 8) return -1;
    const int mode = data[0] % 3;
    std::string payload(reinterpret_cast<const char*>(data) + 1, size - 1);

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
        text.push_back(payload.empty() ? 'x' : payload[0]);
        text.push_back('\0');
        if (payload.size() > 1) text.append(payload, 1);
    }

    unsigned char* at = page.end - text.size() - pad;
    std::memcpy(at, text.data(), text.size());
    std::memset(at + text.size(), 0xA5, pad);
    const std::u16string read = ReadArgTextA(reinterpret_cast<const char*>(at));
    MOVU_FUZZ_CHECK(read == Expected(at, text.size()));

    // The same text at the very end of a heap block that ends on a page
    // boundary: what follows is mapped but not the caller's, so only the
    // deliberate look-ahead may touch it. A one-character 8-bit text then
    // reads as whatever lies behind it.
    if (mode != 2) {
        static char* block = static_cast<char*>(std::aligned_alloc(4096, 4096));
        char* heap = block + 4096 - text.size();
        std::memcpy(heap, text.data(), text.size());
        const std::u16string again = ReadArgTextA(heap);
        if (!(mode == 0 && text.size() == 2)) MOVU_FUZZ_CHECK(again == read);
    }
    return 0;
}
