// The editing half of the main window: the event reactions of the selected event row, the operating mode,
// the shutdown type and the password, Save, and the deletion of a monitored UPS. Edits stay in the model
// (dirty bits) until Save; changing the mode or the monitored UPS resets every event's reactions on the
// engine at once.
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTreeWidget>

#include "console/CHaltwatchDlg.h"
#include "console/ConsoleOids.h"
#include "console/ConsoleSession.h"
#include "console/EngineWorker.h"
#include "console/MessageBoxSink.h"
#include "console/SnmpServer.h"

using namespace console_oid;

namespace {

constexpr const char* kModeQuestion =
    "Changing the operating mode removes the reactions of every event on the engine now. Do you want to change it?";

}  // namespace

void CHaltwatchDlg::ClearEventActions()
{
    const auto keys = m_model.AllEventKeys();
    m_worker.Post([keys](SnmpServer& s) { ClearEngineEventActions(s, keys); });
    m_model.ClearEventActions();
}

std::vector<EventEntry*> CHaltwatchDlg::SelectedEvents()
{
    std::vector<EventEntry*> out;
    const QList<QTreeWidgetItem*> selected = m_eventList->selectedItems();
    if (selected.isEmpty())
        return out;
    const int row = selected.front()->data(0, Qt::UserRole).toInt();
    if (row < 0 || static_cast<size_t>(row) >= m_eventRows.size())
        return out;
    for (const auto& [deviceIndex, eventIndex] : m_eventRows[static_cast<size_t>(row)].events) {
        DeviceEntry* device = m_model.FindDevice(deviceIndex);
        EventEntry* event = device ? device->FindEvent(eventIndex) : nullptr;
        if (event)
            out.push_back(event);
    }
    return out;
}

void CHaltwatchDlg::SetEditorDirty(int bit)
{
    m_dirty |= bit;
    MarkUnsaved();
}

void CHaltwatchDlg::ShowSelectedEvent()
{
    const std::vector<EventEntry*> events = SelectedEvents();
    if (events.empty())
        return;
    const EventEntry& e = *events.front();
    const bool shutdown = e.Actions() & EventEntry::kActionShutdown;
    const bool command = e.Actions() & EventEntry::kActionCommand;
    m_shutdownCheck->setEnabled(true);
    m_commandCheck->setEnabled(true);
    m_shutdownCheck->setChecked(shutdown);
    m_commandCheck->setChecked(command);
    m_shutdownDelayEdit->setText(QString::fromStdString(EventEntry::FormatDelay(e.ShutdownDelay())));
    m_commandDelayEdit->setText(QString::fromStdString(EventEntry::FormatDelay(e.CommandDelay())));
    // Programmatic texts: textEdited does not fire, so nothing becomes dirty.
    m_commandEdits[0]->setText(QString::fromStdString(e.CommandAfterDelay()));
    m_commandEdits[1]->setText(QString::fromStdString(e.CommandOnClear()));
    for (QWidget* w : m_shutdownDelay)
        w->setEnabled(shutdown);
    for (QWidget* w : m_commandControls)
        w->setEnabled(command);
}

void CHaltwatchDlg::UpdateEventControls()
{
    if (!m_eventList->selectedItems().isEmpty() && !SelectedEvents().empty()) {
        ShowSelectedEvent();
        return;
    }
    m_shutdownCheck->setChecked(false);
    m_commandCheck->setChecked(false);
    m_shutdownDelayEdit->clear();
    m_commandDelayEdit->clear();
    m_commandEdits[0]->clear();
    m_commandEdits[1]->clear();
    for (QWidget* w : m_shutdownDelay)
        w->setEnabled(false);
    for (QWidget* w : m_commandControls)
        w->setEnabled(false);
}

void CHaltwatchDlg::OnEventListItemChanged()
{
    UpdateEventControls();
}

void CHaltwatchDlg::OnShutdownWhenInAlarm(bool checked)
{
    const std::vector<EventEntry*> events = SelectedEvents();
    if (events.empty())
        return;
    for (EventEntry* e : events)
        checked ? e->EnableShutdown() : e->DisableShutdown();
    m_eventList->selectedItems().front()->setText(1, checked ? "X" : "");
    for (QWidget* w : m_shutdownDelay)
        w->setEnabled(checked);
    MarkUnsaved();
}

void CHaltwatchDlg::OnExecuteScriptWhenInAlarm(bool checked)
{
    const std::vector<EventEntry*> events = SelectedEvents();
    if (events.empty())
        return;
    for (EventEntry* e : events)
        checked ? e->EnableExecuteCommand() : e->DisableExecuteCommand();
    m_eventList->selectedItems().front()->setText(2, checked ? "X" : "");
    for (QWidget* w : m_commandControls)
        w->setEnabled(checked);
    MarkUnsaved();
}

void CHaltwatchDlg::OnShutdownDelayStep(bool up)
{
    const std::vector<EventEntry*> events = SelectedEvents();
    bool changed = false;
    for (EventEntry* e : events)
        changed |= up ? e->IncreaseShutdownDelay() : e->DecreaseShutdownDelay();
    if (events.empty())
        return;
    m_shutdownDelayEdit->setText(QString::fromStdString(EventEntry::FormatDelay(events.front()->ShutdownDelay())));
    if (changed)
        MarkUnsaved();
}

void CHaltwatchDlg::OnCommandDelayStep(bool up)
{
    const std::vector<EventEntry*> events = SelectedEvents();
    bool changed = false;
    for (EventEntry* e : events)
        changed |= up ? e->IncreaseCommandDelay() : e->DecreaseCommandDelay();
    if (events.empty())
        return;
    m_commandDelayEdit->setText(QString::fromStdString(EventEntry::FormatDelay(events.front()->CommandDelay())));
    if (changed)
        MarkUnsaved();
}

void CHaltwatchDlg::OnCommandEdited(int which, const QString& text)
{
    const std::vector<EventEntry*> events = SelectedEvents();
    if (events.empty())
        return;
    QLineEdit* edit = m_commandEdits[which];
    const std::string typed = text.toStdString();
    // The engine runs a command without a shell: a blank would split it. The stored command comes back.
    if (text.contains(' ') || typed.size() > EventEntry::kMaxCommand) {
        const std::string* stored = events.front()->GetCommand(which);
        edit->setText(stored ? QString::fromStdString(*stored) : QString());
        edit->setCursorPosition(static_cast<int>(edit->text().size()));
        return;
    }
    for (EventEntry* e : events)
        e->SetCommand(which, typed);
    MarkUnsaved();
}

void CHaltwatchDlg::SetMode(bool redundant)
{
    QRadioButton* clicked = redundant ? m_redundant : m_standard;
    QRadioButton* other = redundant ? m_standard : m_redundant;
    if (redundant == m_redundantChoice && !(m_dirty & kDirtyMode)) {
        clicked->setChecked(true);
        return;
    }
    if (!m_messages.Ask(this, kMessageCaption, kModeQuestion)) {
        other->setChecked(true);
        return;
    }
    m_redundantChoice = redundant;
    SetEditorDirty(kDirtyMode);
    ClearEventActions();
    // The list first: the controls show the row that is selected in the list as it now is.
    BuildEventList();
    UpdateEventControls();
    clicked->setChecked(true);
}

void CHaltwatchDlg::OnStandardConfiguration()
{
    SetMode(false);
}

void CHaltwatchDlg::OnRedundantConfiguration()
{
    SetMode(true);
}

void CHaltwatchDlg::OnShutdownTypeShutdown()
{
    m_hibernateChoice = false;
    SetEditorDirty(kDirtyShutdownType);
}

void CHaltwatchDlg::OnShutdownTypeHibernate()
{
    m_hibernateChoice = true;
    SetEditorDirty(kDirtyShutdownType);
}

void CHaltwatchDlg::OnRequirePassword()
{
    const bool on = m_requirePassword->isChecked();
    m_password->setEnabled(on);
    m_retype->setEnabled(on);
    SetEditorDirty(kDirtySecurity);
}

void CHaltwatchDlg::OnPasswordChange()
{
    SetEditorDirty(kDirtySecurity);
}

void CHaltwatchDlg::OnSave()
{
    // Known to be down: say so now instead of after every write's retries; the edits stay.
    if (!m_engineReachable) {
        m_messages.Show(this, kMessageCaption, kSaveFailed);
        emit saved();
        return;
    }
    struct Job {
        bool security = false;
        std::string community;  // the new request community ("" in the engine means the built-in one)
        bool shutdownType = false;
        bool hibernate = false;
        bool mode = false;
        bool redundant = false;
        std::vector<EventEntry> events;
    } job;
    if (m_dirty & kDirtySecurity) {
        if (m_requirePassword->isChecked()) {
            const QString password = m_password->text();
            if (password.isEmpty() || m_retype->text().isEmpty()) {
                m_messages.Show(this, kMessageCaption, "A password must be entered when security is enabled.");
                return;
            }
            if (password != m_retype->text()) {
                m_messages.Show(this, kMessageCaption, "The password and it's retyped confirmation do not match.");
                return;
            }
            if (password == kDefaultCommunity) {
                m_messages.Show(this, kMessageCaption, "The built-in community cannot be used as a password.");
                return;
            }
            job.community = password.left(15).toStdString();
        }
        job.security = true;
    }
    const int dirty = m_dirty;
    job.shutdownType = m_dirty & kDirtyShutdownType;
    job.hibernate = m_hibernateChoice;
    job.mode = m_dirty & kDirtyMode;
    job.redundant = m_redundantChoice;
    // The model's events are marked saved now (edits made while the writes run are new edits); a Save
    // that cannot reach the engine lays them back.
    for (DeviceEntry& d : m_model.Devices())
        for (EventEntry& e : d.Events())
            if (e.Dirty() != 0) {
                job.events.push_back(e);
                e.MarkSaved();
            }
    m_dirty = 0;
    m_save->setEnabled(false);
    UpdateUnsavedNote();

    QPointer<CHaltwatchDlg> self(this);
    m_worker.Post([job, self, dirty](SnmpServer& s) mutable {
        // The writes stop at the first that the engine does not answer (after its retries): the rest would
        // only wait as long, and the user is told that the changes were not saved.
        bool reached = true;
        bool communityTaken = false;
        if (job.security) {
            communityTaken = s.SetString(job.community, kEngineCommunity);
            reached = communityTaken || s.LastAnswered();
            // The engine answers the old community no more: the session goes on with the new one.
            if (communityTaken)
                s.Open(s.Address(), job.community.empty() ? kDefaultCommunity : job.community, s.Port(), 2);
        }
        if (reached && job.shutdownType) {
            s.SetInt(job.hibernate ? 1 : 2, kEnableHibernation);
            reached = s.LastAnswered();
        }
        if (reached && job.mode) {
            s.SetInt(job.redundant ? 1 : 2, kShutdownRequired);
            reached = s.LastAnswered();
        }
        // Each event is written from a copy: job.events keep their dirty columns for a failed Save to lay back.
        for (const EventEntry& e : job.events) {
            if (!reached)
                break;
            EventEntry write = e;
            write.Save(s);
            reached = s.LastAnswered();
        }
        const bool security = job.security;
        const QString community = QString::fromStdString(job.community.empty() ? kDefaultCommunity : job.community);
        QMetaObject::invokeMethod(
            qApp,
            [self, security, communityTaken, community, reached, dirty, events = std::move(job.events)] {
                if (!self || self->m_tornDown)
                    return;
                if (security && communityTaken)
                    self->m_session.SetRequestCommunity(community);
                if (!reached) {
                    // The model keeps the edits (until a refresh the engine answers): Save can try again.
                    self->SetEngineReachable(false);
                    self->m_dirty |= communityTaken ? (dirty & ~kDirtySecurity) : dirty;
                    self->m_model.LayEdits(events);
                    self->MarkUnsaved();
                    self->m_messages.Show(self, kMessageCaption, kSaveFailed);
                } else {
                    if (security && !communityTaken)
                        self->m_messages.Show(self, kMessageCaption, "The engine did not accept the new password.");
                    self->Refresh();
                }
                emit self->saved();
            },
            Qt::QueuedConnection);
    });
}

void CHaltwatchDlg::OnDeleteUps(int n)
{
    if (!m_messages.Ask(this, kMessageCaption, kMonitoredUpsQuestion))
        return;
    DeleteMonitoredUps(n);
}

void CHaltwatchDlg::DeleteMonitoredUps(int n)
{
    const RemoteEntry* first = m_model.Remote(0);
    const RemoteEntry* remote = m_model.Remote(n - 1);
    if (!remote)
        return;
    // Both UPS from one agent row: the row keeps the other position instead of going.
    const bool shared = first && m_model.Remote(1) == first;
    uint32_t positions = first ? first->Positions() : 0;
    positions = n == 1 ? (positions >> 8) & 0xFF : positions & 0xFF;
    const uint32_t row = static_cast<uint32_t>(remote->RowIndex());
    const auto keys = m_model.AllEventKeys();
    QPointer<CHaltwatchDlg> self(this);
    m_worker.Post([self, shared, positions, row, keys](SnmpServer& s) {
        int32_t busy = 1;
        const bool idle = s.GetInt(busy, kEngineBusy) && busy == 0;
        if (idle) {
            ClearEngineEventActions(s, keys);
            if (shared)
                s.SetInt(static_cast<int32_t>(positions), Column(kRemoteEntry, kRemotePositions), 1);
            else
                s.SetInt(kRowDestroy, Column(kRemoteEntry, kRemoteRowStatus), row);
        }
        QMetaObject::invokeMethod(
            qApp,
            [self, idle] {
                if (!self || self->m_tornDown)
                    return;
                if (!idle)
                    self->m_messages.Show(self, kMessageCaption, "Please retry deletion, Engine is currently busy.");
                else
                    self->Refresh();
                emit self->deleteDone();
            },
            Qt::QueuedConnection);
    });
}
