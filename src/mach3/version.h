/* The plug-in's version (the dialog's caption, the module's file version) and this project's release number. */
#ifndef TRELVO_HOST_VERSION_H
#define TRELVO_HOST_VERSION_H

/* Also read by the resource compiler and by scripts/package: plain defines only. */
#define TRELVO_VERSION_YEAR 2012
#define TRELVO_VERSION_MONTH 6
#define TRELVO_VERSION_DAY 22
/* Counts this project's releases of that plug-in version; bump it for every published package. */
#define TRELVO_RELEASE 1

#define TRELVO_STRINGIZE_(x) #x
#define TRELVO_STRINGIZE(x) TRELVO_STRINGIZE_(x)
/* "2012.6.22.1" */
#define TRELVO_VERSION_TEXT \
    TRELVO_STRINGIZE(TRELVO_VERSION_YEAR.TRELVO_VERSION_MONTH.TRELVO_VERSION_DAY.TRELVO_RELEASE)

#endif
