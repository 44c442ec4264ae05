// Array new and delete for the programs, without the C++ exception machinery:
// the library does not handle allocation failure, which ends the program, so
// nothing here throws and no std::bad_alloc needs to be linked in.
#include <windows.h>

#include <cstdlib>
#include <new>

namespace {

constexpr UINT kOutOfMemoryExitCode = ERROR_NOT_ENOUGH_MEMORY;

void* AllocateOrExit(std::size_t size) {
  void* memory = std::malloc(size != 0 ? size : 1);
  if (memory == nullptr) {
    ExitProcess(kOutOfMemoryExitCode);
  }
  return memory;
}

}  // namespace

void* operator new(std::size_t size) { return AllocateOrExit(size); }
void* operator new[](std::size_t size) { return AllocateOrExit(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
