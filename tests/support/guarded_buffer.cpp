#include "guarded_buffer.h"

#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace movu::test {

EdgePage::EdgePage() {
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page_ = info.dwPageSize;
    base_ = static_cast<char*>(VirtualAlloc(nullptr, page_ * 2, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    if (base_ == nullptr || !VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old))
        throw std::runtime_error("EdgePage: cannot map pages");
#else
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* p = mmap(nullptr, page_ * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("EdgePage: cannot map pages");
    base_ = static_cast<char*>(p);
    if (mprotect(base_ + page_, page_, PROT_NONE) != 0) throw std::runtime_error("EdgePage: mprotect failed");
#endif
}

EdgePage::~EdgePage() {
#ifdef _WIN32
    VirtualFree(base_, 0, MEM_RELEASE);
#else
    munmap(base_, page_ * 2);
#endif
}

}  // namespace movu::test
