// The control panel's small dialog layer: a dialog base with message
// dispatch, modal run and data exchange, and the handful of controls the
// panel's windows use.
//
// The panel's dialog classes (CCacheDlg, CConfigDlg, CAboutDlg) derive from
// ui::Dialog and hold the controls below as members. Every operation that
// touches a window is implemented twice, selected by the build:
//   panel/ui/win32/*.cpp     over HWNDs, dialog templates and common controls;
//   panel/ui/headless/*.cpp  over in-memory state, for the host build and its
//                            tests (panel/ui/headless/Headless.h scripts the
//                            user's side).
// The shared part (data exchange, default handlers) is panel/ui/Dialog.cpp.
//
// Conventions:
//  - Control ids, command ids and notification codes are the Win32 values
//    (panel/Resource.h, IDOK/IDCANCEL, NM_CLICK, LVN_ITEMCHANGED ...).
//  - Row and column indexes are 0-based; -1 means "none".
//  - A control is usable once bound (DataExchange::Bind during
//    DoDataExchange, or Bind) or created (ToolBar, ToolTip). Every operation
//    on an unbound control does nothing and returns 0/false/empty.
//  - Texts are UTF-16 (WCHAR); strings handed out are ::Text values.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "panel/Text.h"

namespace ui {

class Dialog;
class DataExchange;

// Implementation-defined handle of a window: the HWND in the Win32 build, a
// record of the headless backend on the host. Never interpreted by the panel.
typedef void *NativeHandle;

// Icon handle as returned by LoadIconResource (an HICON on Win32).
typedef void *IconHandle;

// ---------------------------------------------------------------------------
// Controls
// ---------------------------------------------------------------------------

// Any child control of a dialog, addressed by its control id.
class Control {
public:
    Control() = default;
    Control(const Control &) = delete;
    Control &operator=(const Control &) = delete;

    // Binds the object to control id of the dialog (the dialog must be open).
    void Bind(Dialog &dialog, int id);
    bool IsBound() const { return m_native != nullptr; }
    int Id() const { return m_id; }
    Dialog *Owner() const { return m_dialog; }

    void Enable(bool enable);
    bool IsEnabled() const;
    void SetText(const WCHAR *text);
    Text GetText() const;
    void SetFocus();
    void Show(bool show);

    NativeHandle Native() const { return m_native; }

protected:
    friend class Dialog;
    friend class DataExchange;
    friend struct Backend;  // each implementation's private helper
    Dialog *m_dialog = nullptr;
    int m_id = 0;
    NativeHandle m_native = nullptr;
};

// Static text label.
class Static : public Control {};

// Single-line edit.
class Edit : public Control {};

// Push button or automatic check box.
class Button : public Control {
public:
    // BST_UNCHECKED (0) or BST_CHECKED (1).
    int GetCheck() const;
    void SetCheck(int state);
};

// Drop-down list combo box.
class ComboBox : public Control {
public:
    int AddString(const WCHAR *text);  // appends; returns the new index
    void ResetContent();
    int GetCount() const;
    int GetCurSel() const;            // -1: nothing selected
    void SetCurSel(int index);        // -1 clears the selection
    Text GetLBText(int index) const;  // empty for an index out of range
};

// Report-view list control.
class ListCtrl : public Control {
public:
    // format: LVCFMT_LEFT or LVCFMT_CENTER; width in pixels.
    int InsertColumn(int column, const WCHAR *heading, int format, int width);
    // Inserts a row with the text of column 0 before row index (index equal to
    // the row count appends). Returns the new row's index, -1 on failure.
    int InsertItem(int index, const WCHAR *text);
    bool SetItemText(int row, int column, const WCHAR *text);
    Text GetItemText(int row, int column) const;
    // Deleting the selected row first clears its selection, which sends
    // LVN_ITEMCHANGED to the dialog (the row is still counted then).
    bool DeleteItem(int row);
    void DeleteAllItems();
    int GetItemCount() const;
    // First row in the selected state, searched from the top; -1 when none.
    int GetFirstSelected() const;
    // Extended list-view styles (LVS_EX_GRIDLINES, LVS_EX_FULLROWSELECT...).
    DWORD GetExtendedStyle() const;
    void SetExtendedStyle(DWORD style);
};

// A list of images of one size, filled from icons (the toolbar's normal and
// disabled button images). The object owns the list and destroys it; a
// toolbar given the list must not outlive it.
class ImageList {
public:
    ImageList() = default;
    ~ImageList();
    ImageList(const ImageList &) = delete;
    ImageList &operator=(const ImageList &) = delete;

    // An empty list of width x height images; flags ILC_COLOR32 | ILC_MASK...,
    // room for `initial` images, growing by `grow`.
    bool Create(int width, int height, UINT flags, int initial, int grow);
    // Appends an icon's image; returns its index, -1 on failure.
    int Add(IconHandle icon);
    int GetImageCount() const;
    bool IsCreated() const { return m_native != nullptr; }
    NativeHandle Native() const { return m_native; }

private:
    friend struct Backend;
    NativeHandle m_native = nullptr;
};

// The main window's toolbar, created at run time as a child of the dialog and
// set up step by step by its owner.
class ToolBar : public Control {
public:
    // Creates the toolbar along the top of the dialog: flat list style (text
    // right of the image), tooltips, control id IDC_TOOLBAR, no buttons. It
    // stays hidden until Show(true).
    bool Create(Dialog &parent);
    // Gives the toolbar `count` buttons, without command, image or text until
    // SetButtonInfo and SetButtonText.
    bool SetButtons(int count);
    // Places the toolbar in its dialog (pixels) and repaints it.
    void Move(int x, int y, int width, int height);
    void SetPadding(int horizontal, int vertical);
    // The lists stay owned by the caller.
    void SetImageList(ImageList &images);
    void SetDisabledImageList(ImageList &images);
    // Button `index`: its command, style (BTNS_BUTTON...) and image index.
    void SetButtonInfo(int index, UINT command, UINT style, int image);
    void SetButtonText(int index, const WCHAR *text);
    // Rectangle of button `index` as laid out now, in toolbar coordinates.
    bool GetItemRect(int index, RECT *rect) const;
    // Size of every button and of the images on them.
    void SetSizes(SIZE button, SIZE image);
    void EnableButton(UINT command, bool enable);
    bool IsButtonEnabled(UINT command) const;
    bool GetButtonRect(UINT command, RECT *rect) const;
    int ButtonCount() const;
};

// The window's tooltip control.
class ToolTip {
public:
    ToolTip() = default;
    ToolTip(const ToolTip &) = delete;
    ToolTip &operator=(const ToolTip &) = delete;

    bool Create(Dialog &parent);
    void SetColors(COLORREF background, COLORREF text);
    // A tool covering the whole of a control.
    void AddTool(const Control &control, const WCHAR *text);
    // A tool covering a rectangle of a control (a toolbar button), with its id.
    void AddTool(const Control &control, UINT toolId, const RECT &rect, const WCHAR *text);
    void SetAutomaticDelay(UINT milliseconds);
    void Activate(bool active);
    // Relays a mouse message of the dialog to the tooltip.
    void RelayEvent(const MSG *message);
    bool IsCreated() const { return m_native != nullptr; }
    NativeHandle Native() const { return m_native; }

private:
    friend struct Backend;
    Dialog *m_dialog = nullptr;
    NativeHandle m_native = nullptr;
};

// ---------------------------------------------------------------------------
// Data exchange
// ---------------------------------------------------------------------------

// Carries one exchange between a dialog's controls and its members, in the
// order of the dialog's DoDataExchange. Saving (controls -> members) stops at
// the first field it refuses: that field's message is shown, the focus goes
// to it, Failed() becomes true and every later call does nothing, so the
// later members keep their values.
class DataExchange {
public:
    DataExchange(Dialog &dialog, bool saving) : m_dialog(dialog), m_saving(saving) {}
    bool Saving() const { return m_saving; }
    bool Failed() const { return m_failed; }
    Dialog &Owner() const { return m_dialog; }

    // Binds a control object to its id (both directions).
    void Bind(int id, Control &control);
    // Text of an edit or static <-> string.
    void TextField(int id, ::Text &value);
    // Text of an edit <-> unsigned 32-bit number. Taking accepts an unsigned
    // decimal with blanks around it; anything else is refused with the
    // message "请输入一个正整数。".
    void NumberField(int id, UINT &value);
    // Check box state <-> flag (BOOL-sized, as the dialog members are).
    void CheckBox(int id, BOOL &value);
    // Combo box: text of the selected entry (empty when none). Giving leaves
    // the selection as it is.
    void ComboText(int id, ::Text &value);
    // Combo box: selected index (-1 when none) <-> int.
    void ComboIndex(int id, int &value);

private:
    void Fail(int id, const WCHAR *message);
    Dialog &m_dialog;
    bool m_saving;
    bool m_failed = false;
};

// ---------------------------------------------------------------------------
// Dialog
// ---------------------------------------------------------------------------

// Base of the panel's dialogs. DoModal runs the dialog from its template:
// OnInitDialog once the controls exist, then the handlers below as messages
// arrive, until EndDialog. The backend calls the On* handlers; the dialog
// classes override them (the "message map" is the switch in each override).
class Dialog {
public:
    explicit Dialog(int templateId) : m_templateId(templateId) {}
    virtual ~Dialog();
    Dialog(const Dialog &) = delete;
    Dialog &operator=(const Dialog &) = delete;

    int TemplateId() const { return m_templateId; }

    // Runs the dialog modally; returns the value passed to EndDialog (IDOK,
    // IDCANCEL, ...), or -1 when the dialog could not be created.
    INT_PTR DoModal();
    void EndDialog(INT_PTR result);
    bool IsOpen() const { return m_native != nullptr; }

    // Data exchange: true saves controls -> members (false when a field is
    // refused), false gives members -> controls.
    bool UpdateData(bool saveAndValidate = true);

    // A message box owned by this dialog; returns IDOK, IDYES or IDNO.
    int MessageBox(const WCHAR *text, const WCHAR *caption, UINT type);
    // The platform's save-file dialog (no filter, no default extension, no
    // initial name, read-only box hidden, prompt before overwriting). True
    // with the chosen full path, false when the user cancels.
    bool ChooseSaveFile(::Text &path);
    // Opens popup `popup` of menu resource `menuId` at the cursor, owned by
    // this dialog; a chosen item arrives as OnCommand after the menu closed.
    void TrackContextMenu(int menuId, int popup);

    void SetTimer(UINT_PTR id, UINT milliseconds);
    void KillTimer(UINT_PTR id);
    // Sets the window's big and small icon.
    void SetIcon(IconHandle icon);
    // Appends a separator and an item to the window's system menu; false when
    // the window has no system menu.
    bool AppendSystemMenuItem(UINT command, const WCHAR *text);
    // Paints the icon centred in the client area when the window is
    // minimised (true), else does nothing and returns false.
    bool PaintIconIfMinimised(IconHandle icon);
    // Moves the keyboard focus to a control.
    void FocusControl(int id);

    NativeHandle Native() const { return m_native; }

    // --- Handlers, called by the backend -----------------------------------
    // After the controls exist. The default gives the members to the
    // controls (UpdateData(false)) and returns TRUE.
    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(DataExchange *dx);
    // WM_COMMAND from buttons, menus and the toolbar. Return true when
    // handled. The default maps IDOK to OnOK and IDCANCEL to OnCancel.
    virtual bool OnCommand(UINT id);
    // WM_NOTIFY from a control; *result is the notification result.
    virtual bool OnNotify(int controlId, UINT code, LRESULT *result);
    virtual void OnTimer(UINT_PTR id);
    // WM_SYSCOMMAND; return false to leave it to default processing.
    virtual bool OnSysCommand(UINT command);
    // WM_PAINT; return false for the default painting.
    virtual bool OnPaint();
    virtual IconHandle OnQueryDragIcon();
    virtual void OnDestroy();
    // Every message before dispatch; true when the message was consumed.
    virtual bool PreTranslateMessage(const MSG *message);
    // Saves the controls (stopping on a refused field), then EndDialog(IDOK).
    virtual void OnOK();
    virtual void OnCancel();

private:
    friend class Control;
    friend class ToolTip;
    friend struct Backend;
    int m_templateId;
    NativeHandle m_native = nullptr;
};

// ---------------------------------------------------------------------------
// Application-level services
// ---------------------------------------------------------------------------

// Registers the common control classes (ICC_* flags).
void InitCommonControls(DWORD classes);
// Loads an icon resource (IDR_MAINFRAME, toolbar icons); never null in the
// headless build.
IconHandle LoadIconResource(int id);
// Loads a string resource; empty when missing.
Text LoadStringResource(int id);

}  // namespace ui
