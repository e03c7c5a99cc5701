#pragma once
// Where the console's windows and dialogs open, and how wide a dialog must be for its title.
// Threads: GUI thread only.

class QString;
class QWidget;

// Places dialog, at its present size, centred over owner when owner shows, else over the screen (owner's,
// or the primary one when owner is null): a console in the tray has no window showing, and a hidden owner
// would put the dialog in a corner.
void CenterOverOwner(QWidget* dialog, QWidget* owner);

// The width that shows title whole beside the title bar's icon and buttons (title bars often draw their
// text in bold).
int MinimumWidthForTitle(const QString& title);
