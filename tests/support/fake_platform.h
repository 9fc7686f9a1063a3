// The fake backend: a PlatformOps with no system behind it. It logs every call
// as text, "Name args", so a test states what the program did as a literal, and
// any operation can be made to fail. Harness wires a formVelmora to it the way
// the Win32 shell does. The unit tests and the micro-benchmark drive it.
#ifndef VELMORA_TESTS_SUPPORT_FAKE_PLATFORM_H
#define VELMORA_TESTS_SUPPORT_FAKE_PLATFORM_H

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "shell/form_velmora.h"

namespace velmora::testing {

// The positions a digital stick reports on the joystick's 0 to 65535 scale.
constexpr uint32_t kStickLow = 256, kStickHigh = 65280, kStickCentre = 32767;

class FakePlatform final : public PlatformOps {
 public:
  // --- what the system is like ---
  int32_t capsResult = 0;  // what the capabilities query returns
  uint32_t numButtons = 8;
  struct {
    uint32_t x, y, buttons;
  } stick{kStickCentre, kStickCentre, 0};
  Point cursor{500, 400};
  uint32_t nowMs = 0, queryMs = 0;  // the clock, and how far each joystick call moves it
  uint32_t notifyMs = 0;            // how far a Shell_NotifyIconA moves it
  bool logging = true;              // off: nothing is logged, and nothing allocated
  const char* choose = nullptr;     // the caption PopupMenu picks; none: dismissed
  std::function<void()> duringPopup, duringMessage, onUnload;
  const char* failing = nullptr;  // the operations that fail, by name, separated by spaces

  // --- what the program did ---
  std::vector<std::pair<std::string, std::string>> calls;  // name, args
  bool iconShown = false;                                  // whether the shell holds the icon

  // "Name args; Name args", or with `only` the args of those operations' calls
  // (names separated by spaces).
  std::string Log(const char* only = nullptr) const {
    std::string text;
    for (const auto& [name, args] : calls) {
      if (only && !Named(only, name.c_str())) continue;
      const std::string line = only ? args : args.empty() ? name : name + " " + args;
      text += (text.empty() ? "" : "; ") + line;
    }
    return text;
  }

  int32_t joyGetDevCapsA(uint32_t id, JoyCapsA* caps, uint32_t size) override {
    nowMs += queryMs;
    if (Call(__func__, "%u %u", id, size)) return 165;  // JOYERR_PARMS
    caps->wNumButtons = numButtons;
    return capsResult;
  }
  int32_t joyGetPosEx(uint32_t id, JoyInfoEx* info) override {
    nowMs += queryMs;
    // A failed query leaves the record as it was, stale values and all.
    if (Call(__func__, "%u %u 0x%x", id, info->dwSize, info->dwFlags)) return 167;
    info->dwXpos = stick.x;
    info->dwYpos = stick.y;
    info->dwButtons = stick.buttons;
    return 0;
  }
  bool GetCursorPos(Point* pos) override {
    if (Call(__func__)) return false;
    *pos = cursor;
    return true;
  }
  bool SetCursorPos(int32_t x, int32_t y) override {
    if (Call(__func__, "%d %d", x, y)) return false;
    cursor = {x, y};
    return true;
  }
  void mouse_event(uint32_t flags, uint32_t, uint32_t, uint32_t, uintptr_t) override {
    Call(__func__, "0x%x", flags);
  }
  void keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uintptr_t) override {
    Call(__func__, "0x%x 0x%x 0x%x", unsigned{vk}, unsigned{scan}, flags);
  }
  bool Shell_NotifyIconA(uint32_t message, const NotifyIconDataA* data) override {
    nowMs += notifyMs;
    const bool refused =
        Call(__func__, "%u %u 0x%x %u", message, data->cbSize, data->hWnd, data->uID);
    // As the shell does: an icon is added once, modified or deleted only while there.
    const bool possible = (message == 0) != iconShown;
    if (possible && !refused) iconShown = message != 2;  // NIM_DELETE
    return possible && !refused;
  }
  intptr_t ShellExecuteA(uint32_t hwnd, const char* op, const char* file, const char* params,
                         const char* dir, int32_t show) override {
    auto s = [](const char* text) { return text ? text : "(null)"; };
    return Call(__func__, "0x%x %s %s '%s' '%s' %d", hwnd, s(op), s(file), s(params), s(dir), show)
               ? 2    // SE_ERR_FNF
               : 42;  // above 32: opened
  }
  bool PrevInstance() override { return (void)Call(__func__), false; }  // never another copy
  bool SetTimer1Enabled(bool enabled) override { return !Call(__func__, "%d", int{enabled}); }
  bool SetIconTimer(uint32_t periodMs) override { return !Call(__func__, "%u", periodMs); }
  uint32_t WindowHandle() override { return Call(__func__) ? 0 : 0x10ABC; }
  uint32_t IconHandle() override { return Call(__func__) ? 0 : 0x20DEF; }
  bool SetForegroundWindow() override { return !Call(__func__); }
  bool IsForegroundWindow() override { return !Call(__func__); }
  // Logged as the captions in order, "-" for a separator, "[x]" before a checked one.
  uint32_t PopupMenu(const MenuItem* items, size_t count) override {
    std::string shown;  // nothing allocated while logging is off
    for (size_t i = 0; i < count && logging; ++i) {
      shown.append(i ? "," : "").append(items[i].checked ? "[x]" : "");
      shown += items[i].caption ? items[i].caption : "-";
    }
    if (Call(__func__, "%s", shown.c_str())) return 0;
    if (duringPopup) duringPopup();
    // Chosen as a user would: by what the item says, not by its id.
    for (size_t i = 0; i < count && choose; ++i) {
      if (items[i].caption && std::strcmp(items[i].caption, choose) == 0) return items[i].id;
    }
    return 0;
  }
  bool PostNullMessage() override { return !Call(__func__); }
  void ShowMessage(const char* text, const char* caption) override {
    if (!Call(__func__, "'%s' '%s'", text, caption) && duringMessage) duringMessage();
  }
  void UnloadWindow() override {
    if (!Call(__func__) && onUnload) onUnload();
  }
  void EndProcess(uint32_t exitCode) override {
    Call(__func__, "%u", exitCode);
  }  // the test goes on
  uint32_t TickCountMs() override {
    Call(__func__);
    return nowMs;
  }

  // Logs the call; true when it is to fail.
  template <typename... Args>
  bool Call(const char* name, const char* format = "", Args... args) {
    if (logging) {
      char text[160] = "";
      if constexpr (sizeof...(args) > 0) std::snprintf(text, sizeof(text), format, args...);
      calls.emplace_back(name, text);
    }
    return Named(failing, name);
  }
  // Whether `name` is one of the space-separated names in `list`.
  static bool Named(const char* list, const char* name) {
    const size_t length = std::strlen(name);
    for (const char* at = list; at && (at = std::strstr(at, name)); at += length) {
      if ((at == list || at[-1] == ' ') && (at[length] == ' ' || at[length] == '\0')) return true;
    }
    return false;
  }
};

// What RegisterWindowMessage might give "TaskbarCreated".
constexpr uint32_t kTaskbarCreated = 0xC0DE;

struct Harness {
  FakePlatform fake;
  formVelmora form{fake};

  Harness() {
    fake.onUnload = [this] { form.WindowMessage(0x0002, 0, 0); };  // WM_DESTROY
    form.SetTaskbarCreatedMessage(kTaskbarCreated);
  }
  void Load() { form.Form_Load(); }
  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) form.Timer1_Timer();  // as the tick source runs it
  }
  // "TaskbarCreated": the shell (re)started, holding no icon.
  bool Broadcast() {
    fake.iconShown = false;
    return form.WindowMessage(kTaskbarCreated, 0, 0);
  }
  bool IconTimer() { return form.WindowMessage(0x0113, 2, 0); }  // WM_TIMER, its id
  // The icon's callback, WM_MOUSEMOVE: the event code in the low word of lParam.
  bool Tray(intptr_t lParam) { return form.WindowMessage(0x0200, 0, lParam); }
  // A right click on the icon, then the item with this caption.
  bool Choose(const char* caption) {
    fake.choose = caption;
    const bool handled = Tray(0x0205);
    fake.choose = nullptr;
    return handled;
  }
};

}  // namespace velmora::testing

#endif
