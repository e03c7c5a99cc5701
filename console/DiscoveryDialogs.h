#pragma once
// The discovery dialogs and the About box. CAgentDiscovery collects address ranges and communities;
// CDiscoveryProgress hands them to the engine, shows the scan's progress and the devices found (from the
// engine's discovery-progress notices, handed to OnNotice by whoever receives them: the main window, while
// the dialog is registered with it), and writes the chosen devices into the engine's remote-agent table.
//
// The dialogs know the engine only through the EngineWorker, and the monitored UPS only through the
// ConsoleModel they are given (they read its rows and reset its event reactions when a UPS is added); they
// do not know the main window. Both are window-modal dialogs opened with open(); their outcome comes
// through QDialog::finished.
// Threads: GUI thread only; SNMP requests go to the EngineWorker.

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <vector>

#include "console/DiscoveryProber.h"

class ConsoleModel;
class EngineWorker;
class IMessageBoxSink;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTreeWidget;

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent);
};

class CAgentDiscovery : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kTitle = "Discover Agents";

    // engineAddress presets the first three octets. The worker, the model and the messages must last as
    // long as the dialog handles events (its destructor uses none of them).
    CAgentDiscovery(EngineWorker& worker, ConsoleModel& model, IMessageBoxSink& messages,
                    const QString& engineAddress, QWidget* parent);

    void OnAddAddress();
    void OnRemoveAddress();
    void OnAddCommunity();
    void OnRemoveCommunity();
    // Starts the progress dialog once the engine is idle.
    void OnOK();

    QStringList Addresses() const;
    QStringList Communities() const;
    // The progress dialog while it is open.
    class CDiscoveryProgress* Progress() const;

signals:
    // The progress dialog is made and its request posted to the engine; it opens next.
    void progressStarted(CDiscoveryProgress* progress);

private:
    void FilterOctet(int n);
    void UpdateOk();

    EngineWorker& m_worker;
    ConsoleModel& m_model;
    IMessageBoxSink& m_messages;
    QLineEdit* m_octets[4] = {};
    QString m_accepted[4];
    QLineEdit* m_community = nullptr;
    QListWidget* m_addressList = nullptr;
    QListWidget* m_communityList = nullptr;
    QPushButton* m_ok = nullptr;
    QPointer<class CDiscoveryProgress> m_progress;
};

class CDiscoveryProgress : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kTitle = "Network Discovery of Mervane Devices";

    // Joins the entries for the engine: "a.b.c.*" counts 254 addresses and is sent as "a.b.c.".
    struct Request {
        QString addresses;
        int entries = 0;
        QString communities;
        int total = 0;
    };
    static Request BuildRequest(const QStringList& addresses, const QStringList& communities);

    // Sends the request to the engine. The worker, the model and the messages must last as long as the
    // dialog handles events (its destructor uses none of them).
    CDiscoveryProgress(EngineWorker& worker, ConsoleModel& model, IMessageBoxSink& messages,
                       const QStringList& addresses, const QStringList& communities, QWidget* parent);

    void AddResult(const DiscoveredAgent& agent);
    void UpdateProgress(int scanned, int count, int status);
    // A notice from the main window: its results, then its progress.
    void OnNotice(const DiscoveryNotice& notice);
    void OnOK();

    int Total() const { return m_total; }
    int Value() const { return m_value; }
    bool Finished() const { return m_finished; }
    const std::vector<DiscoveredAgent>& Results() const { return m_results; }
    QTreeWidget* ResultList() const { return m_list; }

signals:
    // The rows were written (or refused) and the dialog ends.
    void rowsWritten();

private:
    void OnResultItemChanged();
    bool OkAllowed() const;
    void WriteRows(std::vector<DiscoveredAgent> chosen, int monitored);

    EngineWorker& m_worker;
    ConsoleModel& m_model;
    IMessageBoxSink& m_messages;
    QProgressBar* m_progressBar = nullptr;
    QLabel* m_percent = nullptr;
    QTreeWidget* m_list = nullptr;
    QPushButton* m_ok = nullptr;
    std::vector<DiscoveredAgent> m_results;
    int m_total = 0;
    int m_value = 0;
    bool m_finished = false;
    bool m_writing = false;
};
