// The fake backend: a PlatformOps with no system behind it that records what
// the program did, as outcomes (where the cursor is, which buttons and keys are
// down, whether the icon is shown, the timer is on, the process has ended) and
// as the plain call log. Any operation can be told to fail. The unit tests and
// the micro-benchmark drive the program through it.
#ifndef VELMORA_PLATFORM_FAKE_PLATFORM_H
#define VELMORA_PLATFORM_FAKE_PLATFORM_H

#include <bitset>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform_ops.h"

namespace velmora::fake {

enum class Op {
  joyGetDevCapsA,
  joyGetPosEx,
  GetCursorPos,
  SetCursorPos,
  mouse_event,
  keybd_event,
  Shell_NotifyIconA,
  ShellExecuteA,
  PrevInstance,
  SetTimer1Enabled,
  WindowHandle,
  IconHandle,
  SetForegroundWindow,
  PopupMenu,
  PostNullMessage,
  ShowMessage,
  UnloadWindow,
  EndProcess,
  TickCountMs,
  kCount
};
const char* OpName(Op op);

enum MouseButton { kLeft, kMiddle, kRight };

struct KeyEvent {
  uint8_t vk;
  uint8_t scan;
  uint32_t flags;
};

struct ShellExecuteCall {
  uint32_t hwnd;
  std::string op, file, params, dir;
  bool paramsNull, dirNull;
  int32_t show;
};

struct ShownMenuItem {
  uint32_t id;
  std::string caption;  // "-" for a separator
  bool checked;
};

class FakePlatform final : public PlatformOps {
 public:
  // --- what the system is like ---
  bool prevInstance = false;
  int32_t capsResult = 0;   // result of a well-formed capabilities query
  uint32_t numButtons = 8;  // wNumButtons it reports
  JoyInfoEx device{};       // what a successful joyGetPosEx copies out
  Point cursor{500, 400};
  int32_t screenWidth = 1920, screenHeight = 1080;
  uint32_t windowHandle = 0x00010ABC, iconHandle = 0x00020DEF;
  uint32_t nowMs = 0;
  uint32_t queryMs = 0;  // how far the clock moves while joyGetPosEx runs
  // With logging off, only outcomes are kept (no vector grows), so the fake
  // itself allocates nothing while the program runs.
  bool logging = true;
  const char* popupCaption = nullptr;   // the item PopupMenu chooses; none: dismissed
  std::function<void()> duringPopup;    // runs inside the menu's modal loop
  std::function<void()> duringMessage;  // runs inside the message box's modal loop
  std::function<void()> onUnload;       // what unloading the window runs

  void Fail(Op op, bool fail = true) { failing_[static_cast<size_t>(op)] = fail; }
  // Sets the stick as the next queries will report it.
  void Stick(uint32_t x, uint32_t y, uint32_t buttons = 0);

  // --- what the program did ---
  std::vector<Op> calls;
  std::vector<Point> cursorPlacements;
  std::vector<uint32_t> mouseEvents;  // delivered MOUSEEVENTF_ flags
  std::vector<KeyEvent> keyEvents;    // delivered key events
  bool mouseDown[3] = {false, false, false};
  bool keyDown[256] = {};  // by virtual key
  bool iconShown = false;
  NotifyIconDataA iconRecord{};                                 // record of the last successful add
  std::vector<std::pair<uint32_t, NotifyIconDataA>> iconCalls;  // every call, with its record
  bool timerEnabled = false;
  std::vector<std::pair<std::string, std::string>> messages;  // text, caption
  int processEnds = 0;
  std::vector<ShellExecuteCall> shellExecutes;
  std::vector<ShownMenuItem> lastMenu;
  bool foreground = false;
  bool foregroundWhenMenuOpened = false;
  int menusShown = 0;

  bool AnyKeyDown() const;
  size_t Count(Op op) const;
  void ClearLog();

  // PlatformOps
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
  bool PrevInstance() override;
  bool SetTimer1Enabled(bool enabled) override;
  uint32_t WindowHandle() override;
  uint32_t IconHandle() override;
  bool SetForegroundWindow() override;
  uint32_t PopupMenu(const MenuItem* items, size_t count) override;
  bool PostNullMessage() override;
  void ShowMessage(const char* text, const char* caption) override;
  void UnloadWindow() override;
  void EndProcess() override;
  uint32_t TickCountMs() override;

 private:
  bool Enter(Op op);  // logs the call; true when it is to fail
  std::bitset<static_cast<size_t>(Op::kCount)> failing_;
};

}  // namespace velmora::fake

#endif
