#include "Screen.h"

#include <cstdlib>

namespace {

// The screen's device context, held while this lives.
class ScreenDc {
 public:
  ScreenDc() : dc_(GetDC(nullptr)) {}
  ~ScreenDc() { ReleaseDC(nullptr, dc_); }
  ScreenDc(const ScreenDc&) = delete;
  ScreenDc& operator=(const ScreenDc&) = delete;
  HDC Get() const { return dc_; }

 private:
  HDC dc_;
};

// A w x h bitmap like the screen's, selected into a memory DC of its own to
// be drawn on; the two are made and freed together.
class Canvas {
 public:
  Canvas(const ScreenDc& screen, int w, int h)
      : w_(w),
        h_(h),
        memory_(CreateCompatibleDC(screen.Get())),
        bitmap_(CreateCompatibleBitmap(screen.Get(), w, h)),
        old_(SelectObject(memory_, bitmap_)) {}
  ~Canvas() {
    SelectObject(memory_, old_);
    DeleteObject(bitmap_);
    DeleteDC(memory_);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;
  HDC Dc() const { return memory_; }

  // 0x00RRGGBB values, top row first.
  std::vector<DWORD> Pixels() const {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w_;
    info.bmiHeader.biHeight = -h_;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::vector<DWORD> pixels(static_cast<std::size_t>(w_) * h_, 0xFFFFFFFF);
    // GetDIBits wants the bitmap out of every DC while it reads.
    SelectObject(memory_, old_);
    GetDIBits(memory_, bitmap_, 0, static_cast<UINT>(h_), pixels.data(), &info, DIB_RGB_COLORS);
    SelectObject(memory_, bitmap_);
    for (DWORD& p : pixels) p &= 0xFFFFFF;
    return pixels;
  }

 private:
  int w_, h_;
  HDC memory_;
  HBITMAP bitmap_;
  HGDIOBJ old_;
};

long Distance(const std::vector<DWORD>& a, const std::vector<DWORD>& b) {
  long sum = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
    for (int shift = 0; shift < 24; shift += 8)
      sum += std::labs(static_cast<long>((a[i] >> shift) & 0xFF) - static_cast<long>((b[i] >> shift) & 0xFF));
  return sum;
}

// `icon` drawn w x h on `background`; empty where it cannot be drawn here.
std::vector<DWORD> DrawnIcon(HICON icon, int w, int h, COLORREF background) {
  const ScreenDc screen;
  const Canvas canvas(screen, w, h);
  const HBRUSH brush = CreateSolidBrush(background);
  const RECT all = {0, 0, w, h};
  FillRect(canvas.Dc(), &all, brush);
  DeleteObject(brush);
  if (!DrawIconEx(canvas.Dc(), 0, 0, icon, w, h, 0, nullptr, DI_NORMAL)) return {};
  return canvas.Pixels();
}

// How far `shown` is from the system icon `reference` drawn the same size on
// the same background, taken from the corner the icon leaves transparent.
long DistanceFrom(const std::vector<DWORD>& shown, int w, int h, LPCSTR reference) {
  const COLORREF background = RGB((shown[0] >> 16) & 0xFF, (shown[0] >> 8) & 0xFF, shown[0] & 0xFF);
  return Distance(shown, DrawnIcon(LoadIconA(nullptr, reference), w, h, background));
}

}  // namespace

std::vector<DWORD> WindowPixels(HWND window, int* width, int* height) {
  RECT rect;
  if (!GetWindowRect(window, &rect) || rect.right <= rect.left || rect.bottom <= rect.top) return {};
  *width = rect.right - rect.left;
  *height = rect.bottom - rect.top;
  const ScreenDc screen;
  const Canvas canvas(screen, *width, *height);
  BitBlt(canvas.Dc(), 0, 0, *width, *height, screen.Get(), rect.left, rect.top, SRCCOPY);
  return canvas.Pixels();
}

// The icon the control holds, drawn here: on Windows an icon belongs to the
// session, so another process's can be drawn, whatever the screen shows (a
// box on a desktop of its own, behind another window, a locked screen).
// Under Wine each process keeps its icons to itself and the drawing fails:
// there the pixels come from the screen, the run's own Xvfb, which draws
// every desktop and which nothing else covers. Either way the icon is told
// by drawing the system's two icons the same way and taking the nearer.
int IconKind(HWND control) {
  if (!control || !IsWindowVisible(control)) return 0;
  const HICON icon = reinterpret_cast<HICON>(SendMessageW(control, STM_GETICON, 0, 0));
  if (!icon) return 0;
  int w = 0, h = 0;
  std::vector<DWORD> shown;
  RECT rect;
  if (GetWindowRect(control, &rect) && rect.right > rect.left && rect.bottom > rect.top) {
    w = rect.right - rect.left;
    h = rect.bottom - rect.top;
    shown = DrawnIcon(icon, w, h, GetSysColor(COLOR_3DFACE));  // the box's own background
  }
  if (shown.empty()) shown = WindowPixels(control, &w, &h);
  if (shown.empty()) return 0;
  const long error = DistanceFrom(shown, w, h, IDI_ERROR);
  const long information = DistanceFrom(shown, w, h, IDI_INFORMATION);
  // The nearer one must be clearly nearer, or the icon is neither.
  if (error * 4 < information) return MB_ICONERROR;
  if (information * 4 < error) return MB_ICONINFORMATION;
  return -1;
}
