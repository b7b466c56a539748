// Lets the extension, built against this machine's glibc with the C++ runtime linked in, load on
// glibc 2.17 and later (its wheel's manylinux2014 tag).
//
// The static libstdc++ and libgcc_eh (linked in for a fast import) refer to a few symbols that only
// newer glibc versions define; each is answered here, hidden, so nothing outside the module sees
// it. Which symbols, why each answer is sound, and how the wheel is proven: docs/design.md.
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>

// Part of linking the module, not of the core: CMakeLists.txt adds it, with VELLORA_STATIC_CXX_RUNTIME
// defined, to the module that links the runtime in. Compiled without that, it is empty.
// The definitions are hidden whatever the build's default: a visible pthread_once would also
// answer the GLIBC_2.2.5 reference below, itself.
// The oldest symbol versions of each architecture: the wheel's tag promises glibc 2.17 at most
// (2.27 on 64-bit RISC-V, glibc's first release there; its wheels are tagged 2.31, the oldest
// manylinux policy for the machine).
#if defined(__x86_64__)
#define VELLORA_BASELINE_GLIBC "GLIBC_2.2.5"
#elif defined(__aarch64__) || defined(__powerpc64__)
#define VELLORA_BASELINE_GLIBC "GLIBC_2.17"
#elif defined(__s390x__)
#define VELLORA_BASELINE_GLIBC "GLIBC_2.2"
#elif defined(__arm__)
#define VELLORA_BASELINE_GLIBC "GLIBC_2.4"
#elif defined(__i386__)
#define VELLORA_BASELINE_GLIBC "GLIBC_2.0"
#elif defined(__riscv) && __riscv_xlen == 64
#define VELLORA_BASELINE_GLIBC "GLIBC_2.27"
#endif
#if defined(VELLORA_STATIC_CXX_RUNTIME) && defined(__GLIBC__) && defined(VELLORA_BASELINE_GLIBC)
#define VELLORA_LOCAL __attribute__((visibility("hidden")))

extern "C" {

#if __GLIBC_PREREQ(2, 32)
VELLORA_LOCAL char __libc_single_threaded = 0;
#endif

#if __GLIBC_PREREQ(2, 34)
int vellora_baseline_pthread_once(pthread_once_t* once, void (*init)());
int vellora_baseline_pthread_key_create(pthread_key_t* key, void (*destroy)(void*));
int vellora_baseline_pthread_mutex_trylock(pthread_mutex_t* mutex);
__asm__(".symver vellora_baseline_pthread_once, pthread_once@" VELLORA_BASELINE_GLIBC);
__asm__(".symver vellora_baseline_pthread_key_create, pthread_key_create@" VELLORA_BASELINE_GLIBC);
__asm__(".symver vellora_baseline_pthread_mutex_trylock, pthread_mutex_trylock@" VELLORA_BASELINE_GLIBC);

VELLORA_LOCAL int pthread_once(pthread_once_t* once, void (*init)()) {
  return vellora_baseline_pthread_once(once, init);
}

VELLORA_LOCAL int __pthread_key_create(pthread_key_t* key, void (*destroy)(void*)) {
  return vellora_baseline_pthread_key_create(key, destroy);
}

// std::mutex::try_lock, which the Limited-API build's lock takes before it waits.
VELLORA_LOCAL int pthread_mutex_trylock(pthread_mutex_t* mutex) noexcept {
  return vellora_baseline_pthread_mutex_trylock(mutex);
}
#endif

#if __GLIBC_PREREQ(2, 35)
namespace {

struct ObjectSearch {
  std::uintptr_t address;
  dl_find_object* found;
};

int find_object_of_address(dl_phdr_info* object, std::size_t, void* data) noexcept {
  auto& search = *static_cast<ObjectSearch*>(data);
  std::uintptr_t start = UINTPTR_MAX, end = 0;
  const void* unwind_table = nullptr;
  bool holds_address = false;
  for (ElfW(Half) i = 0; i < object->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = object->dlpi_phdr[i];
    const std::uintptr_t first = object->dlpi_addr + segment.p_vaddr;
    if (segment.p_type == PT_LOAD) {
      holds_address = holds_address || (search.address >= first && search.address - first < segment.p_memsz);
      start = first < start ? first : start;
      end = first + segment.p_memsz > end ? first + segment.p_memsz : end;
    } else if (segment.p_type == PT_GNU_EH_FRAME) {
      unwind_table = reinterpret_cast<const void*>(first);
    }
  }
  if (!holds_address) return 0;
  *search.found = dl_find_object{};
  search.found->dlfo_map_start = reinterpret_cast<void*>(start);
  search.found->dlfo_map_end = reinterpret_cast<void*>(end);
  // The link map is left null: the unwinder, the only caller, reads the unwind table alone.
  search.found->dlfo_eh_frame = const_cast<void*>(unwind_table);
  return 1;
}

}  // namespace

VELLORA_LOCAL int _dl_find_object(void* address, dl_find_object* result) noexcept {
  ObjectSearch search{reinterpret_cast<std::uintptr_t>(address), result};
  return dl_iterate_phdr(find_object_of_address, &search) != 0 ? 0 : -1;
}
#endif

}  // extern "C"

#endif
