// Headless modal runs: a dialog opened from its template plays the script the
// user has queued for it, then ends.
#include "panel/ui/headless/Backend.h"

namespace ui {

using headless::DialogState;
using headless::TheUser;

Dialog::~Dialog()
{
    DialogState *state = Backend::StateOf(*this);
    if (state != nullptr) {
        Backend::SetState(*this, nullptr);
        delete state;
    }
}

INT_PTR Dialog::DoModal()
{
    TheUser().ModalRuns.push_back(m_templateId);
    headless::Open(*this);
    DialogState *state = Backend::StateOf(*this);
    if (!state->Ended) {
        headless::DialogScript script = TheUser().NextScript(m_templateId);
        if (script) {
            script(*this);
        }
        if (!state->Ended) {
            OnCancel();
        }
        if (!state->Ended) {
            EndDialog(IDCANCEL);
        }
    }
    INT_PTR result = state->Result;
    headless::Close(*this);
    return result;
}

void Dialog::EndDialog(INT_PTR result)
{
    if (DialogState *state = Backend::StateOf(*this)) {
        state->Ended = true;
        state->Result = result;
        state->Timers.clear();
    }
}

}  // namespace ui
