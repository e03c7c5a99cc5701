#pragma once
// The message-box seam for tests: every message and question is recorded; questions answer as told.
// Threads: GUI thread.

#include <QString>
#include <QStringList>

#include "console/MessageBoxSink.h"

namespace consoletest {

class RecordingMessages : public IMessageBoxSink {
public:
    void Show(QWidget*, const QString& caption, const QString& text) override
    {
        captions << caption;
        texts << text;
    }
    bool Ask(QWidget*, const QString& caption, const QString& text) override
    {
        captions << caption;
        texts << text;
        return answer;
    }
    QStringList captions;
    QStringList texts;
    bool answer = true;
};

}  // namespace consoletest
