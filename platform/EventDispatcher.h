#pragma once

// Before the application object is made: the UI thread's event loop runs on
// Qt's own dispatcher instead of GLib's main loop. At the full line rate the
// UI thread wakes some 150 times a second (serial reads, frames, log lines),
// and GLib's prepare, query, check and dispatch round on every wake-up cost
// about a twentieth of the panel's CPU. Nothing here needs GLib's loop: no
// native dialogs, no GLib-based plug-ins. A QT_NO_GLIB the user has set is
// left as it is.
void UseQtEventDispatcher();
