#include "console/DiscoveryDialogs.h"

#include <algorithm>

#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/ConsoleModel.h"
#include "console/ConsoleOids.h"
#include "console/DialogPlacement.h"
#include "console/EngineWorker.h"
#include "console/MessageBoxSink.h"

using namespace console_oid;

namespace {

constexpr const char* kRetryDiscovery = "Please retry discovery, Engine is currently busy.";

QPushButton* Button(QWidget* parent, const char* text, const char* name)
{
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

// The row-creation writes of one remote-agent row; false when the engine refused any of them, after the
// half-made row was destroyed again.
bool CreateRemoteRow(SnmpServer& s, uint32_t row, const DiscoveredAgent& a)
{
    auto col = [](uint32_t c) { return Column(kRemoteEntry, c); };
    if (!s.WriteInt(kRowCreateAndWait, col(kRemoteRowStatus), row))
        return false;
    const bool ok = s.WriteString(a.address, col(kRemoteAddress), row) &&
                    s.WriteString(a.community, col(kRemoteCommunity), row) &&
                    s.WriteInt(a.version, col(kRemoteVersion), row) && s.WriteInt(a.port, col(kRemotePort), row) &&
                    s.WriteInt(a.port + 1, col(kRemoteTrapPort), row) &&
                    s.WriteInt(a.position, col(kRemotePositions), row) &&
                    s.WriteInt(kRowActive, col(kRemoteRowStatus), row);
    if (!ok)
        s.WriteInt(kRowDestroy, col(kRemoteRowStatus), row);
    return ok;
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName("aboutDialog");
    setWindowTitle("About Vigilon Shutdown Agent");
    auto* layout = new QVBoxLayout(this);
    auto* name = new QLabel("Vigilon Shutdown Agent Console", this);
    name->setObjectName("aboutName");
    auto* version = new QLabel("Version 12.05.0000", this);
    version->setObjectName("aboutVersion");
    auto* ok = Button(this, "OK", "okButton");
    ok->setDefault(true);
    layout->addWidget(name);
    layout->addWidget(version);
    layout->addWidget(ok, 0, Qt::AlignRight);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    // Wide enough for its title beside the title bar's icon and buttons.
    setMinimumWidth(std::max(MinimumWidthForTitle(windowTitle()), sizeHint().width()));
}

CAgentDiscovery::CAgentDiscovery(EngineWorker& worker, ConsoleModel& model, IMessageBoxSink& messages,
                                 const QString& engineAddress, QWidget* parent)
    : QDialog(parent), m_worker(worker), m_model(model), m_messages(messages)
{
    setObjectName("agentDiscovery");
    setWindowTitle(kTitle);
    auto* grid = new QGridLayout(this);

    auto* octets = new QHBoxLayout;
    for (int i = 0; i < 4; ++i) {
        m_octets[i] = new QLineEdit(this);
        m_octets[i]->setObjectName(QString("octet%1").arg(i + 1));
        m_octets[i]->setMaxLength(3);
        m_octets[i]->setMaximumWidth(48);
        octets->addWidget(m_octets[i]);
        connect(m_octets[i], &QLineEdit::textChanged, this, [this, i] { FilterOctet(i); });
    }
    const QStringList parts = engineAddress.split('.');
    if (parts.size() == 4)
        for (int i = 0; i < 3; ++i)
            m_octets[i]->setText(QString::number(parts[i].toInt()));
    auto* addAddress = Button(this, "Add to list", "addAddressButton");
    auto* removeAddress = Button(this, "Remove from list", "removeAddressButton");
    m_addressList = new QListWidget(this);
    m_addressList->setObjectName("addressList");

    m_community = new QLineEdit(kDefaultCommunity, this);
    m_community->setObjectName("communityEdit");
    m_community->setMaxLength(64);
    auto* addCommunity = Button(this, "Add to list", "addCommunityButton");
    auto* removeCommunity = Button(this, "Remove from list", "removeCommunityButton");
    m_communityList = new QListWidget(this);
    m_communityList->setObjectName("communityList");

    m_ok = Button(this, "OK", "okButton");
    m_ok->setEnabled(false);
    auto* cancel = Button(this, "Cancel", "cancelButton");

    grid->addWidget(new QLabel("IP address (a * as the last part scans the whole subnet)", this), 0, 0, 1, 2);
    grid->addLayout(octets, 1, 0);
    grid->addWidget(addAddress, 1, 1);
    grid->addWidget(m_addressList, 2, 0);
    grid->addWidget(removeAddress, 2, 1, Qt::AlignTop);
    grid->addWidget(new QLabel("Community", this), 3, 0, 1, 2);
    grid->addWidget(m_community, 4, 0);
    grid->addWidget(addCommunity, 4, 1);
    grid->addWidget(m_communityList, 5, 0);
    grid->addWidget(removeCommunity, 5, 1, Qt::AlignTop);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(cancel);
    grid->addLayout(buttons, 6, 0, 1, 2);

    connect(addAddress, &QPushButton::clicked, this, &CAgentDiscovery::OnAddAddress);
    connect(removeAddress, &QPushButton::clicked, this, &CAgentDiscovery::OnRemoveAddress);
    connect(addCommunity, &QPushButton::clicked, this, &CAgentDiscovery::OnAddCommunity);
    connect(removeCommunity, &QPushButton::clicked, this, &CAgentDiscovery::OnRemoveCommunity);
    connect(m_ok, &QPushButton::clicked, this, &CAgentDiscovery::OnOK);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void CAgentDiscovery::FilterOctet(int n)
{
    const QString text = m_octets[n]->text();
    const QString allowed = n == 3 ? "0123456789*" : "0123456789";
    for (QChar c : text) {
        if (!allowed.contains(c)) {
            QSignalBlocker block(m_octets[n]);
            m_octets[n]->setText(m_accepted[n]);
            return;
        }
    }
    m_accepted[n] = text;
}

void CAgentDiscovery::UpdateOk()
{
    m_ok->setEnabled(m_addressList->count() > 0 && m_communityList->count() > 0);
}

void CAgentDiscovery::OnAddAddress()
{
    int values[4] = {0, 0, 0, 0};
    bool wildcard = false;
    for (int i = 0; i < 4; ++i) {
        const QString text = m_octets[i]->text();
        if (i == 3 && text == "*") {
            wildcard = true;
            continue;
        }
        bool ok = true;
        values[i] = text.isEmpty() ? 0 : text.toInt(&ok);
        if (!ok || values[i] > 255)
            return;
    }
    const QString entry = wildcard ? QString("%1.%2.%3.*").arg(values[0]).arg(values[1]).arg(values[2])
                                   : QString("%1.%2.%3.%4").arg(values[0]).arg(values[1]).arg(values[2]).arg(values[3]);
    if (m_addressList->findItems(entry, Qt::MatchExactly).isEmpty())
        m_addressList->addItem(entry);
    UpdateOk();
}

void CAgentDiscovery::OnRemoveAddress()
{
    delete m_addressList->currentItem();
    UpdateOk();
}

void CAgentDiscovery::OnAddCommunity()
{
    const QString text = m_community->text().left(127);
    if (text.isEmpty())
        return;
    if (m_communityList->findItems(text, Qt::MatchExactly).isEmpty())
        m_communityList->addItem(text);
    UpdateOk();
}

void CAgentDiscovery::OnRemoveCommunity()
{
    delete m_communityList->currentItem();
    UpdateOk();
}

QStringList CAgentDiscovery::Addresses() const
{
    QStringList out;
    for (int i = 0; i < m_addressList->count(); ++i)
        out << m_addressList->item(i)->text();
    return out;
}

QStringList CAgentDiscovery::Communities() const
{
    QStringList out;
    for (int i = 0; i < m_communityList->count(); ++i)
        out << m_communityList->item(i)->text();
    return out;
}

CDiscoveryProgress* CAgentDiscovery::Progress() const
{
    return m_progress;
}

void CAgentDiscovery::OnOK()
{
    if (m_progress)
        return;
    m_ok->setEnabled(false);
    m_worker.CheckIdle(this, [this](bool idle) {
        UpdateOk();
        if (!idle) {
            m_messages.Show(this, kMessageCaption, kRetryDiscovery);
            return;
        }
        auto* progress = new CDiscoveryProgress(m_worker, m_model, m_messages, Addresses(), Communities(), this);
        progress->setAttribute(Qt::WA_DeleteOnClose);
        m_progress = progress;
        connect(progress, &QDialog::finished, this, [this](int result) {
            done(result == QDialog::Accepted ? QDialog::Accepted : QDialog::Rejected);
        });
        emit progressStarted(progress);
        progress->open();
    });
}

CDiscoveryProgress::Request CDiscoveryProgress::BuildRequest(const QStringList& addresses,
                                                             const QStringList& communities)
{
    Request r;
    QStringList sent;
    for (const QString& entry : addresses) {
        if (entry.endsWith('*')) {
            r.total += 254;
            sent << entry.left(entry.size() - 1);
        } else {
            r.total += 1;
            sent << entry;
        }
    }
    r.addresses = sent.join(',');
    r.entries = static_cast<int>(addresses.size());
    r.communities = communities.join(',');
    return r;
}

CDiscoveryProgress::CDiscoveryProgress(EngineWorker& worker, ConsoleModel& model, IMessageBoxSink& messages,
                                       const QStringList& addresses, const QStringList& communities,
                                       QWidget* parent)
    : QDialog(parent), m_worker(worker), m_model(model), m_messages(messages)
{
    setObjectName("discoveryProgress");
    setWindowTitle(kTitle);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("The following Mervane devices have been discovered:", this));
    m_list = new QTreeWidget(this);
    m_list->setObjectName("resultList");
    m_list->setRootIsDecorated(false);
    m_list->setColumnCount(3);
    m_list->setHeaderLabels({"IP Address", "Model", "Type"});
    m_list->setSelectionMode(QAbstractItemView::MultiSelection);
    layout->addWidget(m_list);
    layout->addWidget(new QLabel("Discovery progress:", this));
    auto* progressRow = new QHBoxLayout;
    m_progressBar = new QProgressBar(this);
    m_progressBar->setObjectName("progressBar");
    m_progressBar->setTextVisible(false);
    m_percent = new QLabel("0%", this);
    m_percent->setObjectName("percentText");
    progressRow->addWidget(m_progressBar);
    progressRow->addWidget(m_percent);
    layout->addLayout(progressRow);
    layout->addWidget(new QLabel("Select one or two devices from the list above and then press the OK button to "
                                 "monitor for power events:",
                                 this));
    auto* buttons = new QHBoxLayout;
    m_ok = Button(this, "OK", "okButton");
    m_ok->setEnabled(false);
    auto* cancel = Button(this, "Cancel", "cancelButton");
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    const int third = 160;
    for (int c = 0; c < 3; ++c)
        m_list->setColumnWidth(c, third);

    const Request request = BuildRequest(addresses, communities);
    m_total = request.total;
    m_progressBar->setRange(0, m_total > 0 ? m_total : 1);
    m_progressBar->setValue(0);

    connect(m_list, &QTreeWidget::itemSelectionChanged, this, &CDiscoveryProgress::OnResultItemChanged);
    connect(m_ok, &QPushButton::clicked, this, &CDiscoveryProgress::OnOK);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    const std::string list = request.addresses.toStdString();
    const std::string communityList = request.communities.toStdString();
    const int entries = request.entries;
    m_worker.Post([list, communityList, entries](SnmpServer& s) {
        s.SetString(list, kDiscoveryAddressList);
        s.SetInt(entries, kDiscoveryAddressCount);
        s.SetString(communityList, kDiscoveryCommunityList);
        s.SetInt(1, kDiscoveryStart);
    });
}

void CDiscoveryProgress::AddResult(const DiscoveredAgent& agent)
{
    auto* item = new QTreeWidgetItem(m_list);
    item->setText(0, QString::fromStdString(agent.address));
    item->setText(1, QString::fromStdString(agent.model));
    item->setText(2, QString::fromStdString(agent.type));
    item->setData(0, Qt::UserRole, static_cast<int>(m_results.size()));
    m_results.push_back(agent);
}

void CDiscoveryProgress::OnNotice(const DiscoveryNotice& notice)
{
    if (m_writing)
        return;
    for (const DiscoveredAgent& agent : notice.results)
        AddResult(agent);
    UpdateProgress(notice.scanned, notice.count, notice.status);
}

void CDiscoveryProgress::UpdateProgress(int scanned, int count, int status)
{
    if (m_finished)
        return;
    // The engine's own count of addresses is the total once it reports one.
    if (count > 0 && count != m_total) {
        m_total = count;
        m_progressBar->setRange(0, m_total);
    }
    const bool ended = status == discovery::kStatusComplete || status == discovery::kStatusNoAddresses ||
                       status == discovery::kStatusNoCommunities;
    m_value = ended ? m_total : (scanned < 0 ? 0 : (scanned > m_total ? m_total : scanned));
    m_progressBar->setValue(m_value);
    const double percent = m_total > 0 ? 100.0 * m_value / m_total : (ended ? 100.0 : 0.0);
    m_percent->setText(QString::asprintf("%.0f%%", percent > 100.0 ? 100.0 : percent));
    if (!ended && m_value < m_total)
        return;
    m_finished = true;
    if (status == discovery::kStatusNoAddresses)
        m_messages.Show(this, kMessageCaption, "The discovery ended: none of the addresses can be scanned.");
    else if (status == discovery::kStatusNoCommunities)
        m_messages.Show(this, kMessageCaption, "The discovery ended: none of the communities can be used.");
    else if (m_results.empty())
        m_messages.Show(this, kMessageCaption, "No devices were found");
    m_ok->setEnabled(OkAllowed());
}

bool CDiscoveryProgress::OkAllowed() const
{
    const int selected = static_cast<int>(m_list->selectedItems().size());
    return !m_writing && selected >= 1 && selected + m_model.MonitoredCount() <= 2;
}

void CDiscoveryProgress::OnResultItemChanged()
{
    if (m_finished)
        m_ok->setEnabled(OkAllowed());
}

void CDiscoveryProgress::OnOK()
{
    if (!m_finished || m_writing)
        return;
    std::vector<DiscoveredAgent> chosen;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = m_list->topLevelItem(i);
        if (item->isSelected())
            chosen.push_back(m_results[static_cast<size_t>(item->data(0, Qt::UserRole).toInt())]);
    }
    const int monitored = m_model.MonitoredCount();
    if (chosen.empty())
        return;
    m_writing = true;
    m_ok->setEnabled(false);
    m_worker.CheckIdle(this, [this, chosen, monitored](bool idle) {
        if (!idle || monitored + static_cast<int>(chosen.size()) > 2) {
            m_writing = false;
            m_ok->setEnabled(OkAllowed());
            m_messages.Show(this, kMessageCaption, !idle ? kRetryDiscovery : "Too many devices were selected.");
            return;
        }
        WriteRows(chosen, monitored);
    });
}

void CDiscoveryProgress::WriteRows(std::vector<DiscoveredAgent> chosen, int monitored)
{
    struct Plan {
        std::vector<std::pair<uint32_t, DiscoveredAgent>> rows;  // new rows (row index, agent)
        bool rewritePositions = false;
        uint32_t positions = 0;
    } plan;
    if (monitored == 1) {
        const RemoteEntry* first = m_model.Remote(0);
        const DiscoveredAgent& pick = chosen.front();
        if (first && !first->HasAddress(pick.address)) {
            plan.rows.emplace_back(2, pick);
        } else if (first && static_cast<uint32_t>(pick.position) != (first->Positions() & 0xFF)) {
            // A second device of the agent already monitored: the row names both positions.
            plan.rewritePositions = true;
            plan.positions = (first->Positions() & 0xFF) | (static_cast<uint32_t>(pick.position & 0xFF) << 8);
        }
    } else if (monitored == 0) {
        if (chosen.size() == 2 && chosen[0].address == chosen[1].address) {
            chosen[0].position |= (chosen[1].position & 0xFF) << 8;
            chosen.pop_back();
        }
        uint32_t row = 1;
        for (const DiscoveredAgent& a : chosen)
            plan.rows.emplace_back(row++, a);
    }
    const std::vector<std::pair<int, int>> events = m_model.AllEventKeys();
    if (!plan.rows.empty())
        m_model.ClearEventActions();
    QPointer<CDiscoveryProgress> self(this);
    EngineWorker* worker = &m_worker;
    m_worker.Post([plan, events, self, worker](SnmpServer& s) {
        QStringList refused;
        if (plan.rewritePositions)
            s.SetInt(static_cast<int32_t>(plan.positions), Column(kRemoteEntry, kRemotePositions), 1);
        for (const auto& [row, agent] : plan.rows) {
            // A new monitored UPS starts with no event reactions on the engine.
            ClearEngineEventActions(s, events);
            if (!CreateRemoteRow(s, row, agent))
                refused << QString::fromStdString(agent.address);
        }
        // The table changed whether or not the dialog is still there: the model reads it again. The
        // worker outlives the dialogs (a call queued on it is dropped when it goes).
        QMetaObject::invokeMethod(
            worker,
            [self, worker, refused] {
                worker->Refresh();
                if (!self)
                    return;
                if (!refused.isEmpty())
                    self->m_messages.Show(self, kMessageCaption,
                                          QString("The engine refused to monitor %1.").arg(refused.join(", ")));
                emit self->rowsWritten();
                self->accept();
            },
            Qt::QueuedConnection);
    });
}
