// The simulated user of the headless layer: its queued answers, menu
// choices, file choices and dialog scripts, and what it has seen.
#include "panel/ui/headless/Backend.h"

namespace ui::headless {

void User::Reset()
{
    *this = User();
}

void User::ChooseSaveFile(const WCHAR *path)
{
    m_saveFiles.push_back({path != nullptr, Text(path)});
}

void User::ScriptDialog(int templateId, DialogScript script)
{
    m_scripts[templateId].push_back(std::move(script));
}

std::vector<Text> User::MessageTexts() const
{
    std::vector<Text> texts;
    for (const MessageRecord &record : Messages) {
        texts.push_back(record.Message);
    }
    return texts;
}

void User::SetStringResource(int id, const WCHAR *text)
{
    m_strings[id] = Text(text);
}

int User::NextAnswer()
{
    if (m_answers.empty()) {
        return IDNO;
    }
    int answer = m_answers.front();
    m_answers.pop_front();
    return answer;
}

bool User::NextSaveFile(Text *path)
{
    if (m_saveFiles.empty()) {
        return false;
    }
    auto choice = m_saveFiles.front();
    m_saveFiles.pop_front();
    if (choice.first) {
        *path = choice.second;
    }
    return choice.first;
}

UINT User::NextMenuChoice()
{
    if (m_menuChoices.empty()) {
        return 0;
    }
    UINT choice = m_menuChoices.front();
    m_menuChoices.pop_front();
    return choice;
}

DialogScript User::NextScript(int templateId)
{
    auto found = m_scripts.find(templateId);
    if (found == m_scripts.end() || found->second.empty()) {
        return nullptr;
    }
    DialogScript script = std::move(found->second.front());
    found->second.pop_front();
    return script;
}

bool User::StringOverride(int id, Text *text) const
{
    auto found = m_strings.find(id);
    if (found == m_strings.end()) {
        return false;
    }
    *text = found->second;
    return true;
}

User &TheUser()
{
    static User user;
    return user;
}

}  // namespace ui::headless
