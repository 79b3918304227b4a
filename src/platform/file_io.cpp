// The texts of the file layer's own failure reasons; system errors keep the system's words.
#include "platform/file_io.h"

namespace platform {

std::string FileErrorText(int error) {
    switch (error) {
    case FILEIO_NOT_REGULAR: return "not a regular file";
    case FILEIO_TOO_LARGE: return "file too large";
    case FILEIO_READ_ONLY: return "the file is read-only";
    case FILEIO_NOT_WELL_FORMED: return "not well-formed XML";
    case FILEIO_NOT_REWRITABLE: return "its encoding or markup cannot be written back unchanged";
    case FILEIO_SHORT_WRITE: return "the file was written only in part";
    case FILEIO_OUT_OF_MEMORY: return "out of memory";
    case FILEIO_IS_PROFILE: return "the file is the profile itself";
    case FILEIO_CHANGED: return "another program changed the file meanwhile";
    case FILEIO_NOT_KEPT: return "a new file could not have the old one's owner, group, mode or ACL";
    case FILEIO_REPLACE_REFUSED: return "the replacement of the file was refused";
    case FILEIO_WOULD_BE_TOO_LARGE: return "the saved profile would be larger than the 64 MiB the plug-in reads";
    default: return SystemErrorText(error);
    }
}

}  // namespace platform
