// The file a video is written to before it takes the destination's name, so
// that a failed or interrupted conversion never touches the destination.
//
// Where the file system allows (Linux's O_TMPFILE), the file has no name while
// it is written: the program may crash or be killed and nothing is left. The
// AVI library reaches it through /proc/self/fd. A complete video is linked
// into the destination's folder: straight under the destination's name when
// that is new, else under a short temporary name that is then renamed over
// the file it replaces. Elsewhere the file is named from the start, with the
// same short name in the destination's folder (".tessaly-XXXXXX": a name
// derived from the destination's could pass the 255-byte limit of a name).
//
// A video that replaces a file is flushed to the disk before the rename, and
// the folder after it, so that a power cut leaves the old file or the new
// one, never an empty one. A new file is not flushed.
#pragma once

#include "fw/String.h"

class TemporaryFile {
public:
    // A file for a video that will take `destination`'s name, in its folder;
    // it gets the mode of the file it replaces, or the one a new file would.
    explicit TemporaryFile(const CString& destination);
    // Removes the file unless it took the destination's name.
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool ok() const { return !m_strPath.IsEmpty(); }
    // The path to write the video to.
    const CString& path() const { return m_strPath; }
    // True when the file has no name while it is written.
    bool IsAnonymous() const { return m_bAnonymous; }
    // Gives the complete video the destination's name. False when that
    // failed; the destination is then as it was.
    bool MoveTo();
    // The system's reason (errno) why the file could not be made, or why
    // MoveTo failed; 0 when neither did.
    int Error() const { return m_nError; }

    // Installs the program's handlers for SIGINT, SIGTERM and SIGHUP, which
    // remove a named temporary file and end the program by the same signal,
    // its default action restored; a signal the program was started to
    // ignore (nohup) stays ignored. Ignores SIGXFSZ, so that a write past the file-size
    // limit fails as a write instead of killing the program.
    static void RemoveOnSignals();

    // For tests: name every temporary file from the start, as where the file
    // system lacks O_TMPFILE.
    static void UseNamedFiles(bool named);

private:
    bool LinkUnderTemporaryName();

    CString m_strDestination;
    CString m_strFolder;
    CString m_strPath;  // what the AVI library opens
    CString m_strNamed; // the file's name in the folder while it has one
    int m_fd = -1;
    int m_nError = 0;
    unsigned m_nMode = 0; // given to the video when complete
    bool m_bAnonymous = false;
    bool m_bReplaces = false; // the destination existed
};
