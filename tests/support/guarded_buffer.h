#pragma once

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace qxw::testing {

// Holds bytes so that they end right before an unreadable page: any read past the end faults.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(const std::vector<uint8_t>& bytes) {
    const size_t page = pageSize();
    dataPages_ = (bytes.size() + page - 1) / page * page;
    length_ = dataPages_ + page;
#ifdef _WIN32
    void* area = ::VirtualAlloc(nullptr, length_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (area == nullptr) throw std::runtime_error("VirtualAlloc failed");
    base_ = static_cast<uint8_t*>(area);
    DWORD previous = 0;
    ::VirtualProtect(base_ + dataPages_, page, PAGE_NOACCESS, &previous);
#else
    void* area =
        ::mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) throw std::runtime_error("mmap failed");
    base_ = static_cast<uint8_t*>(area);
    ::mprotect(base_ + dataPages_, page, PROT_NONE);
#endif
    data_ = base_ + dataPages_ - bytes.size();
    if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
    size_ = bytes.size();
  }
#ifdef _WIN32
  ~GuardedBuffer() { ::VirtualFree(base_, 0, MEM_RELEASE); }
#else
  ~GuardedBuffer() { ::munmap(base_, length_); }
#endif
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  static size_t pageSize() {
#ifdef _WIN32
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return info.dwPageSize;
#else
    return static_cast<size_t>(::sysconf(_SC_PAGESIZE));
#endif
  }

  uint8_t* base_ = nullptr;
  uint8_t* data_ = nullptr;
  size_t length_ = 0;
  size_t dataPages_ = 0;
  size_t size_ = 0;
};

}  // namespace qxw::testing
