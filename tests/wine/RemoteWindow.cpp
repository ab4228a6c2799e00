// Reading the state of another process's windows.
#include "RemoteWindow.h"

namespace {

const size_t kTextChars = 512;

struct DialogSearch {
    const WCHAR *Caption;
    std::vector<HWND> Found;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM context)
{
    DialogSearch *search = (DialogSearch *)context;
    if (ClassOf(window) == L"#32770" && TextOf(window) == search->Caption) {
        search->Found.push_back(window);
    }
    return TRUE;
}

}  // namespace

WString TextOf(HWND window)
{
    // GetWindowTextW answers for another process's control from the text it
    // was created with; the message asks the control itself.
    WCHAR text[kTextChars] = {};
    SendMessageW(window, WM_GETTEXT, kTextChars, (LPARAM)text);
    return text;
}

WString ClassOf(HWND window)
{
    WCHAR name[128] = {};
    GetClassNameW(window, name, 128);
    return name;
}

WString DialogItemText(HWND dialog, int id)
{
    HWND item = GetDlgItem(dialog, id);
    return item != nullptr ? TextOf(item) : WString();
}

std::vector<HWND> FindDialogs(const WCHAR *caption)
{
    DialogSearch search = {caption, {}};
    EnumWindows(CollectDialog, (LPARAM)&search);
    return search.Found;
}

HWND WaitForDialog(const WCHAR *caption, DWORD timeoutMs, bool (*filter)(HWND))
{
    DWORD start = GetTickCount();
    for (;;) {
        for (HWND window : FindDialogs(caption)) {
            if (IsWindowVisible(window) && (filter == nullptr || filter(window))) {
                return window;
            }
        }
        if (GetTickCount() - start > timeoutMs) {
            return nullptr;
        }
        Sleep(200);
    }
}

// ---------------------------------------------------------------- RemoteBuffer

RemoteBuffer::RemoteBuffer(HWND window, size_t size)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    m_process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
    if (m_process != nullptr) {
        m_base = VirtualAllocEx(m_process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
}

RemoteBuffer::~RemoteBuffer()
{
    if (m_base != nullptr) {
        VirtualFreeEx(m_process, m_base, 0, MEM_RELEASE);
    }
    if (m_process != nullptr) {
        CloseHandle(m_process);
    }
}

bool RemoteBuffer::Write(size_t offset, const void *data, size_t size)
{
    SIZE_T done = 0;
    return m_base != nullptr && WriteProcessMemory(m_process, At(offset), data, size, &done) && done == size;
}

bool RemoteBuffer::Read(size_t offset, void *data, size_t size) const
{
    SIZE_T done = 0;
    return m_base != nullptr && ReadProcessMemory(m_process, At(offset), data, size, &done) && done == size;
}

WString RemoteBuffer::ReadText(size_t offset, size_t maxChars) const
{
    std::vector<WCHAR> text(maxChars + 1, 0);
    if (!Read(offset, text.data(), maxChars * sizeof(WCHAR))) {
        return WString();
    }
    text[maxChars] = 0;
    return text.data();
}

// ---------------------------------------------------------------- list view

int ListColumnCount(HWND list)
{
    HWND header = (HWND)SendMessageW(list, LVM_GETHEADER, 0, 0);
    return header != nullptr ? (int)SendMessageW(header, HDM_GETITEMCOUNT, 0, 0) : 0;
}

WString ListColumnHeading(HWND list, int column)
{
    RemoteBuffer remote(list, 4096);
    LVCOLUMNW col = {};
    col.mask = LVCF_TEXT;
    col.pszText = (WCHAR *)remote.At(1024);
    col.cchTextMax = (int)kTextChars;
    WCHAR empty = 0;
    if (!remote.Write(0, &col, sizeof(col)) || !remote.Write(1024, &empty, sizeof(empty))) {
        return WString();
    }
    if (!SendMessageW(list, LVM_GETCOLUMNW, (WPARAM)column, (LPARAM)remote.At(0))) {
        return WString();
    }
    return remote.ReadText(1024, kTextChars);
}

WString ListItemText(HWND list, int row, int column)
{
    RemoteBuffer remote(list, 4096);
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = (WCHAR *)remote.At(1024);
    item.cchTextMax = (int)kTextChars;
    WCHAR empty = 0;
    if (!remote.Write(0, &item, sizeof(item)) || !remote.Write(1024, &empty, sizeof(empty))) {
        return WString();
    }
    SendMessageW(list, LVM_GETITEMTEXTW, (WPARAM)row, (LPARAM)remote.At(0));
    return remote.ReadText(1024, kTextChars);
}

// ---------------------------------------------------------------- toolbar

int ToolBarCommand(HWND toolBar, int index)
{
    RemoteBuffer remote(toolBar, sizeof(TBBUTTON));
    TBBUTTON button = {};
    if (!SendMessageW(toolBar, TB_GETBUTTON, (WPARAM)index, (LPARAM)remote.At(0)) ||
        !remote.Read(0, &button, sizeof(button))) {
        return -1;
    }
    return button.idCommand;
}

WString ToolBarText(HWND toolBar, int command)
{
    RemoteBuffer remote(toolBar, 4096);
    WCHAR empty = 0;
    remote.Write(0, &empty, sizeof(empty));
    LRESULT length = SendMessageW(toolBar, TB_GETBUTTONTEXTW, (WPARAM)command, (LPARAM)remote.At(0));
    if (length < 0 || length >= (LRESULT)kTextChars) {
        return WString();
    }
    return remote.ReadText(0, (size_t)length);
}

// ---------------------------------------------------------------- tooltip

RemoteTool ToolTipTool(HWND toolTip, int index)
{
    RemoteTool tool = {false, 0, nullptr, 0, {0, 0, 0, 0}, WString()};
    RemoteBuffer remote(toolTip, 4096);
    TTTOOLINFOW info = {};
    info.cbSize = TTTOOLINFOW_V2_SIZE;
    info.lpszText = (WCHAR *)remote.At(1024);
    WCHAR empty = 0;
    if (!remote.Write(0, &info, sizeof(info)) || !remote.Write(1024, &empty, sizeof(empty))) {
        return tool;
    }
    if (!SendMessageW(toolTip, TTM_ENUMTOOLSW, (WPARAM)index, (LPARAM)remote.At(0)) ||
        !remote.Read(0, &info, sizeof(info))) {
        return tool;
    }
    tool.Valid = true;
    tool.Flags = info.uFlags;
    tool.Window = info.hwnd;
    tool.Id = info.uId;
    tool.Rect = info.rect;
    tool.Text = remote.ReadText(1024, kTextChars);
    return tool;
}
