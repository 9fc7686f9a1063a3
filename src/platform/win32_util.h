// Small helpers shared by the Win32 files: a typed GetProcAddress and owners
// for the handles the program frees itself.
#ifndef VELMORA_PLATFORM_WIN32_UTIL_H
#define VELMORA_PLATFORM_WIN32_UTIL_H

#include <windows.h>

namespace velmora {

// Looks up `name` in `module` as a function of type Fn; nullptr when the module
// is missing or does not export it (a function newer than the running Windows).
template <typename Fn>
Fn GetProc(HMODULE module, const char* name) {
  if (!module) return nullptr;
  // Through void(*)(): GetProcAddress's type says nothing about the function.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Owns a module loaded with LoadLibrary; freed when the owner goes.
class ScopedModule {
 public:
  explicit ScopedModule(HMODULE module = nullptr) : module_(module) {}
  ~ScopedModule() {
    if (module_) (void)FreeLibrary(module_);
  }
  ScopedModule(const ScopedModule&) = delete;
  ScopedModule& operator=(const ScopedModule&) = delete;
  void Reset(HMODULE module) {
    if (module_) (void)FreeLibrary(module_);
    module_ = module;
  }
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

// Destroys a menu handle when it goes out of scope.
class ScopedMenu {
 public:
  explicit ScopedMenu(HMENU menu) : menu_(menu) {}
  ~ScopedMenu() {
    if (menu_) (void)DestroyMenu(menu_);
  }
  ScopedMenu(const ScopedMenu&) = delete;
  ScopedMenu& operator=(const ScopedMenu&) = delete;
  HMENU get() const { return menu_; }

 private:
  HMENU menu_;
};

}  // namespace velmora

#endif
