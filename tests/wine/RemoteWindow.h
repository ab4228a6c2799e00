// Reading the state of another process's windows: texts, list views,
// toolbars and tooltips. Common-control messages that carry pointers are not
// carried across processes by the system, so their records and text buffers
// are placed in the target process's memory.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

typedef std::basic_string<WCHAR> WString;

// Window text, asked from the window itself (WM_GETTEXT crosses processes).
WString TextOf(HWND window);
WString ClassOf(HWND window);
WString DialogItemText(HWND dialog, int id);

// Top-level dialog windows (#32770) with this caption, in z-order.
std::vector<HWND> FindDialogs(const WCHAR *caption);
// Waits up to timeoutMs for a dialog with the caption that passes the filter.
HWND WaitForDialog(const WCHAR *caption, DWORD timeoutMs, bool (*filter)(HWND) = nullptr);

// Memory in the process that owns a window.
class RemoteBuffer {
public:
    RemoteBuffer(HWND window, size_t size);
    ~RemoteBuffer();
    RemoteBuffer(const RemoteBuffer &) = delete;
    RemoteBuffer &operator=(const RemoteBuffer &) = delete;

    bool Valid() const { return m_base != nullptr; }
    void *At(size_t offset) const { return (char *)m_base + offset; }
    bool Write(size_t offset, const void *data, size_t size);
    bool Read(size_t offset, void *data, size_t size) const;
    WString ReadText(size_t offset, size_t maxChars) const;

private:
    HANDLE m_process = nullptr;
    void *m_base = nullptr;
};

// List view: column headings and widths, cell texts.
int ListColumnCount(HWND list);
WString ListColumnHeading(HWND list, int column);
WString ListItemText(HWND list, int row, int column);

// Toolbar: command and caption of the button at an index.
int ToolBarCommand(HWND toolBar, int index);
WString ToolBarText(HWND toolBar, int command);

// Tooltip: the tool at an index.
struct RemoteTool {
    bool Valid;
    UINT Flags;
    HWND Window;
    UINT_PTR Id;
    RECT Rect;
    WString Text;
};
RemoteTool ToolTipTool(HWND toolTip, int index);
