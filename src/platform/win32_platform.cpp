#include "platform/win32_platform.h"

#include <mmsystem.h>  // record types only: the functions are looked up at run time
#include <objbase.h>
#include <shellapi.h>

#include <cstddef>
#include <cstring>

namespace velmora {

// The program's own records must be the system's, byte for byte.
static_assert(sizeof(JOYINFOEX) == sizeof(JoyInfoEx), "JOYINFOEX size");
static_assert(offsetof(JOYINFOEX, dwXpos) == offsetof(JoyInfoEx, dwXpos) &&
                  offsetof(JOYINFOEX, dwYpos) == offsetof(JoyInfoEx, dwYpos) &&
                  offsetof(JOYINFOEX, dwButtons) == offsetof(JoyInfoEx, dwButtons) &&
                  offsetof(JOYINFOEX, dwReserved2) == offsetof(JoyInfoEx, dwReserved2),
              "JOYINFOEX layout");
static_assert(sizeof(JOYCAPSA) == sizeof(JoyCapsA), "JOYCAPSA size");
static_assert(offsetof(JOYCAPSA, wNumButtons) == offsetof(JoyCapsA, wNumButtons) &&
                  offsetof(JOYCAPSA, szRegKey) == offsetof(JoyCapsA, szRegKey) &&
                  offsetof(JOYCAPSA, szOEMVxD) == offsetof(JoyCapsA, szOEMVxD),
              "JOYCAPSA layout");
static_assert(NOTIFYICONDATAA_V1_SIZE == sizeof(NotifyIconDataA), "NOTIFYICONDATAA v1 size");
static_assert(offsetof(NOTIFYICONDATAA, hWnd) == offsetof(NotifyIconDataA, hWnd) &&
                  offsetof(NOTIFYICONDATAA, uCallbackMessage) ==
                      offsetof(NotifyIconDataA, uCallbackMessage) &&
                  offsetof(NOTIFYICONDATAA, hIcon) == offsetof(NotifyIconDataA, hIcon) &&
                  offsetof(NOTIFYICONDATAA, szTip) == offsetof(NotifyIconDataA, szTip),
              "NOTIFYICONDATAA v1 layout");
static_assert(sizeof(HWND) == sizeof(uint32_t), "handles are 32-bit in this program");

// And so must every number the logic uses in place of the system's names.
static_assert(kJoystickId1 == JOYSTICKID1 && kJoyReturnAll == JOY_RETURNALL &&
                  kJoyReturnX == JOY_RETURNX && kJoyReturnY == JOY_RETURNY &&
                  kJoyReturnZ == JOY_RETURNZ && kJoyReturnR == JOY_RETURNR &&
                  kJoyReturnU == JOY_RETURNU && kJoyReturnV == JOY_RETURNV &&
                  kJoyReturnPov == JOY_RETURNPOV && kJoyReturnButtons == JOY_RETURNBUTTONS,
              "joystick query flags");
static_assert(kJoyErrNoError == JOYERR_NOERROR && kMmSysErrNoDriver == MMSYSERR_NODRIVER &&
                  kJoyErrParms == JOYERR_PARMS && kJoyErrUnplugged == JOYERR_UNPLUGGED,
              "joystick result codes");
static_assert(kMouseLeftDown == MOUSEEVENTF_LEFTDOWN && kMouseLeftUp == MOUSEEVENTF_LEFTUP &&
                  kMouseRightDown == MOUSEEVENTF_RIGHTDOWN &&
                  kMouseRightUp == MOUSEEVENTF_RIGHTUP &&
                  kMouseMiddleDown == MOUSEEVENTF_MIDDLEDOWN &&
                  kMouseMiddleUp == MOUSEEVENTF_MIDDLEUP,
              "mouse event flags");
static_assert(kKeyEventExtendedKey == KEYEVENTF_EXTENDEDKEY && kKeyEventKeyUp == KEYEVENTF_KEYUP &&
                  kVkUp == VK_UP && kVkDown == VK_DOWN,
              "key event flags and virtual keys");
static_assert(kWmDestroy == WM_DESTROY && kWmClose == WM_CLOSE && kWmEndSession == WM_ENDSESSION &&
                  kWmTimer == WM_TIMER && kWmMouseMove == WM_MOUSEMOVE &&
                  kWmRButtonUp == WM_RBUTTONUP,
              "window messages");
static_assert(kMkLButton == MK_LBUTTON && kMkRButton == MK_RBUTTON && kMkShift == MK_SHIFT &&
                  kMkControl == MK_CONTROL && kMkMButton == MK_MBUTTON,
              "mouse-message key state");
static_assert(kSwShowNormal == SW_SHOWNORMAL && kSeErrFileNotFound == SE_ERR_FNF, "shell codes");
static_assert(kNimAdd == NIM_ADD && kNimModify == NIM_MODIFY && kNimDelete == NIM_DELETE &&
                  kNimSetFocus == NIM_SETFOCUS && kNifMessage == NIF_MESSAGE &&
                  kNifIcon == NIF_ICON && kNifTip == NIF_TIP &&
                  kNotifyIconV1SizeBytes == NOTIFYICONDATAA_V1_SIZE,
              "notification icon");

void Win32Platform::Start(bool prevInstance) {
  prevInstance_ = prevInstance;
  if (prevInstance) return;  // it ends at once; nothing to load
  // ShellExecute may hand About... to a handler that is a COM object (a
  // browser registered through DelegateExecute), so the UI thread is a
  // single-threaded apartment from the start, as its documentation asks.
  (void)CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  LoadJoystickInterface();
  KeepTimerResolutionRequests();
}

void Win32Platform::LoadJoystickInterface() {
  // winmm.dll is not one of the system's known DLLs: loaded by name it could be
  // picked up from beside the executable (a Downloads folder, say). Only the
  // system directory's copy will do.
  HMODULE module = LoadLibraryExA("winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!module) {
    // Windows 7 without the DLL-search update rejects that flag; a full path
    // into the system directory gives the same guarantee.
    char path[MAX_PATH];
    static const char kName[] = "\\winmm.dll";
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length > 0 && length + sizeof(kName) <= MAX_PATH) {
      std::memcpy(path + length, kName, sizeof(kName));
      module = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
  }
  winmm_.Reset(module);
  joyGetDevCaps_ = GetProc<JoyGetDevCapsFn>(module, "joyGetDevCapsA");
  joyGetPosEx_ = GetProc<JoyGetPosExFn>(module, "joyGetPosEx");
}

void Win32Platform::KeepTimerResolutionRequests() {
  // Where the ticks fall back to timeBeginPeriod (win32_tick_source.cpp),
  // Windows 11 ignores the request from a process with no visible window
  // unless the process opts out of that power throttling first.
  using SetProcessInformationFn = BOOL(WINAPI*)(HANDLE, int, void*, DWORD);
  struct PowerThrottlingState {
    ULONG Version;
    ULONG ControlMask;
    ULONG StateMask;
  };
  constexpr int kProcessPowerThrottling = 4;
  constexpr ULONG kIgnoreTimerResolution = 0x4;
  static_assert(kProcessPowerThrottling == ProcessPowerThrottling &&
                    kIgnoreTimerResolution == PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION,
                "power throttling");
  const auto setInfo =
      GetProc<SetProcessInformationFn>(GetModuleHandleA("kernel32.dll"), "SetProcessInformation");
  if (setInfo) {
    PowerThrottlingState state = {1, kIgnoreTimerResolution, 0};
    (void)setInfo(GetCurrentProcess(), kProcessPowerThrottling, &state, sizeof(state));
  }
}

void Win32Platform::Attach(HWND window, HICON icon) {
  window_ = window;
  icon_ = icon;
  ticks_.Attach(window, GetProc<Win32TickSource::TimePeriodFn>(winmm_.get(), "timeBeginPeriod"),
                GetProc<Win32TickSource::TimePeriodFn>(winmm_.get(), "timeEndPeriod"));
}

int32_t Win32Platform::joyGetDevCapsA(uint32_t id, JoyCapsA* caps, uint32_t size) {
  if (!joyGetDevCaps_) return kMmSysErrNoDriver;  // winmm.dll or the function is missing
  return static_cast<int32_t>(joyGetDevCaps_(id, caps, size));
}

int32_t Win32Platform::joyGetPosEx(uint32_t id, JoyInfoEx* info) {
  if (!joyGetPosEx_) return kMmSysErrNoDriver;
  return static_cast<int32_t>(joyGetPosEx_(id, info));
}

bool Win32Platform::GetCursorPos(Point* pos) {
  POINT at;
  if (!::GetCursorPos(&at)) return false;
  pos->x = at.x;
  pos->y = at.y;
  return true;
}

bool Win32Platform::SetCursorPos(int32_t x, int32_t y) { return ::SetCursorPos(x, y) != FALSE; }

void Win32Platform::mouse_event(uint32_t flags, uint32_t dx, uint32_t dy, uint32_t data,
                                uintptr_t extra) {
  ::mouse_event(flags, dx, dy, data, extra);
}

void Win32Platform::keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uintptr_t extra) {
  ::keybd_event(vk, scan, flags, extra);
}

bool Win32Platform::Shell_NotifyIconA(uint32_t message, const NotifyIconDataA* data) {
  NOTIFYICONDATAA record;
  std::memset(&record, 0, sizeof(record));
  std::memcpy(&record, data, sizeof(*data));  // cbSize 88 tells the shell it is the first version
  return ::Shell_NotifyIconA(message, &record) != FALSE;
}

intptr_t Win32Platform::ShellExecuteA(uint32_t hwnd, const char* op, const char* file,
                                      const char* params, const char* dir, int32_t show) {
  HWND owner = reinterpret_cast<HWND>(static_cast<uintptr_t>(hwnd));
  // The shell may wait for the handler in a modal loop of its own.
  Win32TickSource::ModalSpan ticksGoOn(ticks_);
  return reinterpret_cast<intptr_t>(::ShellExecuteA(owner, op, file, params, dir, show));
}

bool Win32Platform::SetTimer1Enabled(bool enabled) { return ticks_.SetEnabled(enabled); }

bool Win32Platform::SetIconTimer(uint32_t periodMs) {
  // A window timer is precise enough for offers a second or more apart, and
  // Windows keeps at most one of its messages pending, however long an offer
  // blocks the thread.
  if (periodMs == 0) return KillTimer(window_, kIconTimerId) != FALSE;
  return SetTimer(window_, kIconTimerId, periodMs, nullptr) != 0;
}

uint32_t Win32Platform::WindowHandle() {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window_));
}

uint32_t Win32Platform::IconHandle() {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(icon_));
}

bool Win32Platform::SetForegroundWindow() { return ::SetForegroundWindow(window_) != FALSE; }

bool Win32Platform::IsForegroundWindow() { return window_ && ::GetForegroundWindow() == window_; }

uint32_t Win32Platform::PopupMenu(const MenuItem* items, size_t count) {
  ScopedMenu menu(CreatePopupMenu());
  if (!menu.get()) return 0;
  for (size_t i = 0; i < count; ++i) {
    const MenuItem& item = items[i];
    const UINT flags =
        item.caption ? MF_STRING | (item.checked ? MF_CHECKED : MF_UNCHECKED) : MF_SEPARATOR;
    (void)AppendMenuA(menu.get(), flags, item.id, item.caption);
  }
  // The cursor as a full POINT: packed message coordinates would break on
  // monitors left of or above the primary one.
  POINT at = {0, 0};
  (void)::GetCursorPos(&at);
  // TPM_RETURNCMD: the chosen command comes back here, so its handler runs
  // before this call returns, as if the menu itself had run it, and outside
  // the menu's loop.
  Win32TickSource::ModalSpan ticksGoOn(ticks_);
  const BOOL chosen =
      TrackPopupMenu(menu.get(), TPM_LEFTALIGN | TPM_LEFTBUTTON | TPM_RETURNCMD | TPM_NONOTIFY,
                     at.x, at.y, 0, window_, nullptr);
  return chosen > 0 ? static_cast<uint32_t>(chosen) : 0;
}

bool Win32Platform::PostNullMessage() { return PostMessageA(window_, WM_NULL, 0, 0) != FALSE; }

void Win32Platform::ShowMessage(const char* text, const char* caption) {
  (void)MessageBoxA(nullptr, text, caption, MB_OK | MB_SETFOREGROUND);
}

void Win32Platform::UnloadWindow() { (void)DestroyWindow(window_); }

void Win32Platform::EndProcess(uint32_t exitCode) {
  ticks_.Close();  // gives back the timer resolution, where a fallback holds it
  // COM is left initialised on purpose. The process mostly ends here from
  // inside a window message (WM_DESTROY, WM_ENDSESSION) or from Form_Load,
  // while the window still gets messages, and CoUninitialize may pump them in
  // a single-threaded apartment, running the window procedure again in the
  // middle of the unload. ExitProcess releases the apartment with the process.
  ExitProcess(exitCode);
}

uint32_t Win32Platform::TickCountMs() { return GetTickCount(); }

}  // namespace velmora
