// The output file of both programs, tessaly-convert's videos and
// tessaly-image's bitmaps: the one place that decides whether a destination
// may be written, and that writes it.
//
// A destination is checked before its source is read. It is refused when it
// is the source itself (through a link or under a second name), when it
// exists and is not a regular file (a folder, a FIFO, a device, or a link to
// one), and when it is read-only. Read-only is decided by the file's
// permission bits, no write bit for its owner, and not by access(W_OK): that
// succeeds for root on every file, and a read-only file must stay as it is
// whoever runs the program.
//
// The file is written through symbolic links, to the file they name, even one
// that does not exist yet, so that a link stays a link. It is written to a
// TemporaryFile in that file's folder and takes the name only when complete.
#pragma once

#include "app/TemporaryFile.h"
#include "fw/String.h"

class OutputFile {
public:
    enum Refusal { kAccepted, kIsSource, kNotFile, kReadOnly };
    // Why `destination` may not receive what is made from `source`; nothing
    // is opened. A source that does not exist (or names no file, as
    // "resource:129") cannot be the destination.
    static Refusal Check(const CString& source, const CString& destination);

    // The file that `destination`'s symbolic links lead to; `destination`
    // itself when it is no link, or when its links do not end (a loop: the
    // file then cannot take its name, and that is reported).
    static CString Resolved(const CString& destination);

    // A temporary file for the file `destination` leads to.
    explicit OutputFile(const CString& destination);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool ok() const { return m_file.ok(); }
    // The path to write to.
    const CString& path() const { return m_file.path(); }
    // Gives the complete file its name. False, with errno set and the
    // destination as it was, when that failed.
    bool Commit() { return m_file.MoveTo(); }
    // The system's reason (errno) why the file could not be made, or why
    // Commit failed; 0 when neither did.
    int Error() const { return m_file.Error(); }

private:
    TemporaryFile m_file;
};
