#pragma once

// Before the application object is made: the UI thread's event loop runs on
// Qt's own dispatcher instead of GLib's main loop. At the full line rate the
// UI thread wakes for every serial read, frame and log line, and GLib's
// prepare, query, check and dispatch round on every wake-up is CPU spent on
// nothing (bench/README.md). Nothing here needs GLib's loop: no native
// dialogs, no GLib-based plug-ins. A QT_NO_GLIB the user has set is left as
// it is.
void UseQtEventDispatcher();
