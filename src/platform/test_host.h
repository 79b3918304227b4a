/* Hooks the POSIX build exports for test hosts (the simulator): see each warning box and drive the
   configuration dialog. Plain C, so nothing of C++ crosses the module boundary. */
#ifndef TRELVO_TEST_HOST_H
#define TRELVO_TEST_HOST_H

#ifdef __cplusplus
extern "C" {
#endif

/* Called on the plug-in's thread for every warning box raised; null removes the hook. */
typedef void (*TrelvoWarningHook)(const char* caption, const char* text, void* context);
typedef void (*TrelvoSetWarningHookFn)(TrelvoWarningHook hook, void* context);
/* exported as TrelvoSetWarningHook */

/* Queues the user's actions for the coming Config() calls, blank-separated, in the simulator's
   words: "mode 0|1|2|none", "spindle on|off", "demo on|off", "ok", "cancel", "refresh", "enter",
   "escape", "close". Each close action ends one showing of the dialog; a showing with no action
   left is closed with the close box. */
typedef void (*TrelvoSetDialogScriptFn)(const char* actions);
/* exported as TrelvoSetDialogScript */

/* Called once per showing of the dialog, just before the first of its actions, with the dialog's
   displays as a user reads them (several lines of text). */
typedef void (*TrelvoDialogHook)(const char* displays, void* context);
typedef void (*TrelvoSetDialogHookFn)(TrelvoDialogHook hook, void* context);
/* exported as TrelvoSetDialogHook */

#ifdef __cplusplus
}
#endif

#endif
