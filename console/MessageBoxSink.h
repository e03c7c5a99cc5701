#pragma once
// The console's message boxes go through this seam, so tests record them instead of showing them.
// Threads: GUI thread only.

#include <QString>

class QWidget;

class IMessageBoxSink {
public:
    virtual ~IMessageBoxSink() = default;
    // A message with an OK button. The Qt boxes open centred over their parent (CenterOverOwner, DialogPlacement.h).
    virtual void Show(QWidget* parent, const QString& caption, const QString& text) = 0;
    // A Yes/No question with the warning icon (No is the default button); true for Yes.
    virtual bool Ask(QWidget* parent, const QString& caption, const QString& text) = 0;
};

class QtMessageBoxSink : public IMessageBoxSink {
public:
    void Show(QWidget* parent, const QString& caption, const QString& text) override;
    bool Ask(QWidget* parent, const QString& caption, const QString& text) override;
};

// The caption of the console's messages.
inline const char* const kMessageCaption = "Vigilon Shutdown Agent";
