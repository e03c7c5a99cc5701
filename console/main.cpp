// haltwatch: the Vigilon shutdown console.
#include <QApplication>

#include "console/CHaltwatchApp.h"
#include "console/EngineTransport.h"
#include "console/MessageBoxSink.h"
#include "console/SnmpThreadRunner.h"
#include "engine/snmp/SnmpThread.h"

int main(int argc, char** argv)
{
    SnmpThread::PrepareProcessEnvironment();
    QApplication application(argc, argv);
    application.setApplicationName("haltwatch");
    application.setQuitOnLastWindowClosed(false);

    ConsoleOptions options = ConsoleOptions::Parse(application.arguments().mid(1));
    SnmpThreadRunner snmp;
    snmp.Start();
    SnmpThreadTransport transport(snmp.Thread());
    QtMessageBoxSink messages;

    ConsoleEnvironment environment;
    environment.transport = &transport;
    environment.snmpThread = &snmp.Thread();
    environment.messages = &messages;
    int code = 0;
    {
        CHaltwatchApp app(environment, options);
        QObject::connect(&app, &CHaltwatchApp::exitRequested, &application, [] { QApplication::quit(); });
        switch (app.Start()) {
        case CHaltwatchApp::StartResult::Running:
            code = application.exec();
            break;
        case CHaltwatchApp::StartResult::HandedOver:
            code = 0;
            break;
        case CHaltwatchApp::StartResult::ServiceStopped:
        case CHaltwatchApp::StartResult::InstanceFailed:
            code = 1;
            break;
        }
        // The trap ports close while the SNMP thread still runs; then the thread ends, which releases a
        // worker that still waits for an answer, and the worker ends.
        if (app.Window())
            app.Window()->Teardown();
        snmp.Stop();
        app.Shutdown();
    }
    return code;
}
