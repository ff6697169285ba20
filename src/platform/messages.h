// Windows messaging, as far as the components use it: window classes by
// name, hidden windows with per-window storage, one message queue per thread,
// posting from any thread, peeking, translating, dispatching, waiting with a
// time limit and the quit message.
//
// A window belongs to the thread that created it, and its messages are
// handled on that thread. A thread waiting for messages sleeps in the kernel
// until a message is posted, one of its poller's sources is ready, or the time
// limit passes.
#pragma once
#include <functional>
#include <string>

#include "platform/poller.h"
#include "platform/wintypes.h"

namespace evc {

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;

constexpr DWORD WS_POPUP = 0x80000000u;
constexpr DWORD WS_EX_TOOLWINDOW = 0x00000080u;

constexpr int GWLP_WNDPROC = -4;
constexpr int GWLP_USERDATA = -21;

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD QS_ALLINPUT = 0x04FF;

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

struct WNDCLASS {
  UINT style = 0;
  WNDPROC lpfnWndProc = nullptr;
  int cbClsExtra = 0;
  int cbWndExtra = 0;
  HINSTANCE hInstance = 0;
  uintptr_t hIcon = 0;
  uintptr_t hCursor = 0;
  uintptr_t hbrBackground = 0;
  const char* lpszMenuName = nullptr;
  const char* lpszClassName = nullptr;
};

struct MSG {
  HWND hwnd = 0;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  DWORD time = 0;
};

// The module instance of this library; window classes are registered under it.
HINSTANCE HInstance();

// --- window classes ---
// Returns a non-zero atom, or 0 with last error 1410 when the class exists.
ATOM RegisterClass(const WNDCLASS* wc);
// FALSE with 1411 when unknown, 1412 while windows of the class exist.
BOOL UnregisterClass(const char* className, HINSTANCE instance);
// TRUE and fills *wc when the class is registered for the instance.
BOOL GetClassInfo(HINSTANCE instance, const char* className, WNDCLASS* wc);

// --- windows ---
// Creates a window of a registered class owned by the calling thread; 0 with
// 1411 when the class is unknown. Position, size, parent and menu are kept for
// completeness only: these windows are never shown.
HWND CreateWindowEx(DWORD exStyle, const char* className, const char* windowName, DWORD style,
                    int x, int y, int width, int height, HWND parent, HMENU menu,
                    HINSTANCE instance, void* param);
// Destroys a window of the calling thread. Messages still queued for it are
// dropped when they come up. FALSE with 1400 for a handle that is not a live
// window of this thread.
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
// Per-window storage: index 0, 4, ... within the class's extra bytes (each slot
// holds a whole pointer-sized value), GWLP_USERDATA and GWLP_WNDPROC.
// Set returns the previous value; both return 0 with 1413 for a bad index.
LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value);
LONG_PTR GetWindowLongPtr(HWND hwnd, int index);
LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Calls the window procedure directly; only for windows of the calling thread.
LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// --- queues ---
// Appends a message to the queue of the window's thread and wakes it if it
// waits; never blocks. hwnd 0 posts to the calling thread's own queue.
// FALSE with 1400 when the window does not exist.
BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Takes the first message of the calling thread's queue that matches the
// window (0: any) and the message range (0, 0: any). Ready poller sources are
// collected first when the queue holds nothing else.
BOOL PeekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags);
// Waits for a matching message; returns 0 for WM_QUIT, -1 on failure, else non-zero.
BOOL GetMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax);
BOOL TranslateMessage(const MSG* msg);
// Calls the window procedure of msg->hwnd; a message for a window that no
// longer exists (or for none) is not delivered.
LRESULT DispatchMessage(const MSG* msg);
// Makes the next retrieval on an otherwise empty queue return WM_QUIT.
void PostQuitMessage(int exitCode);
// Waits until the calling thread's queue holds a message (or a poller source
// is ready) or the time passes. Only count 0 is supported: this layer has no
// other waitable handles. WAIT_OBJECT_0 (input) or WAIT_TIMEOUT.
DWORD MsgWaitForMultipleObjects(DWORD count, const uintptr_t* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask);
// Waits without a limit for a message.
BOOL WaitMessage();

// The poller of the calling thread's queue (created on first use).
TPoller& CurrentThreadPoller();
// The poller of the thread that owns the window, or nullptr when there is no
// such window. The pointer stays valid while the window lives.
TPoller* WindowPoller(HWND hwnd);

// --- the class library's hidden windows for methods ---
struct TMessage {
  UINT Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  LRESULT Result = 0;
};
using TWndMethod = std::function<void(TMessage&)>;
// A hidden window whose every message goes to `method`; the method passes what
// it does not handle to DefWindowProc itself.
HWND AllocateHWnd(TWndMethod method);
void DeallocateHWnd(HWND hwnd);

}  // namespace evc
