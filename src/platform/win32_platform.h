// PlatformOps on Win32. With main_win32.cpp and the tick source
// (win32_tick_source.h), the only code that includes windows.h.
#ifndef VELMORA_PLATFORM_WIN32_PLATFORM_H
#define VELMORA_PLATFORM_WIN32_PLATFORM_H

#include <windows.h>

#include "platform/platform_ops.h"
#include "platform/win32_tick_source.h"
#include "platform/win32_util.h"

namespace velmora {

class Win32Platform final : public PlatformOps {
 public:
  Win32Platform() = default;

  // Makes the UI thread a single-threaded COM apartment (for ShellExecute),
  // loads the joystick interface from the system directory and opts the
  // process out of timer power throttling. Call once, on the UI thread,
  // before the window is created.
  void Start(bool prevInstance);
  // The main window and its small icon, once they exist.
  void Attach(HWND window, HICON icon);
  // The poll tick's source: the window procedure asks it about each message.
  Win32TickSource& ticks() { return ticks_; }

  int32_t joyGetDevCapsA(uint32_t id, JoyCapsA* caps, uint32_t size) override;
  int32_t joyGetPosEx(uint32_t id, JoyInfoEx* info) override;
  bool GetCursorPos(Point* pos) override;
  bool SetCursorPos(int32_t x, int32_t y) override;
  void mouse_event(uint32_t flags, uint32_t dx, uint32_t dy, uint32_t data,
                   uintptr_t extra) override;
  void keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uintptr_t extra) override;
  bool Shell_NotifyIconA(uint32_t message, const NotifyIconDataA* data) override;
  intptr_t ShellExecuteA(uint32_t hwnd, const char* op, const char* file, const char* params,
                         const char* dir, int32_t show) override;
  bool PrevInstance() override { return prevInstance_; }
  bool SetTimer1Enabled(bool enabled) override;
  bool SetIconTimer(uint32_t periodMs) override;
  uint32_t WindowHandle() override;
  uint32_t IconHandle() override;
  bool SetForegroundWindow() override;
  bool IsForegroundWindow() override;
  uint32_t PopupMenu(const MenuItem* items, size_t count) override;
  bool PostNullMessage() override;
  void ShowMessage(const char* text, const char* caption) override;
  void UnloadWindow() override;
  void EndProcess(uint32_t exitCode) override;
  uint32_t TickCountMs() override;

 private:
  using JoyGetDevCapsFn = UINT(WINAPI*)(UINT_PTR, void*, UINT);
  using JoyGetPosExFn = UINT(WINAPI*)(UINT, void*);

  void LoadJoystickInterface();
  void KeepTimerResolutionRequests();

  bool prevInstance_ = false;
  HWND window_ = nullptr;
  HICON icon_ = nullptr;
  ScopedModule winmm_;
  JoyGetDevCapsFn joyGetDevCaps_ = nullptr;
  JoyGetPosExFn joyGetPosEx_ = nullptr;
  Win32TickSource ticks_;
};

}  // namespace velmora

#endif
