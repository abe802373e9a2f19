// The framework's exceptions. They are thrown by pointer to a heap object in
// the framework; here they are thrown by value and caught by reference.
#pragma once

#include "fw/String.h"

class CException {
public:
    virtual ~CException() = default;
};

class CMemoryException : public CException {};

class CFileException : public CException {
public:
    enum Cause {
        none,
        genericException,
        fileNotFound,
        badPath,
        tooManyOpenFiles,
        accessDenied,
        invalidFile,
        removeCurrentDir,
        directoryFull,
        badSeek,
        hardIO,
        sharingViolation,
        lockViolation,
        diskFull,
        endOfFile
    };

    CFileException() = default;
    CFileException(int cause, LONG osError, LPCTSTR fileName = nullptr)
        : m_cause(cause), m_lOsError(osError), m_strFileName(fileName) {}

    int m_cause = none;
    LONG m_lOsError = -1;
    CString m_strFileName;
};

// A malformed archive: one that ends early, or an object reference that names
// no class this program knows, with another schema, or of an unexpected kind.
class CArchiveException : public CException {
public:
    enum Cause {
        none,
        genericException,
        readOnly,
        endOfFile,
        writeOnly,
        badIndex,
        badClass,
        badSchema
    };

    explicit CArchiveException(int cause = none, LPCTSTR fileName = nullptr)
        : m_cause(cause), m_strFileName(fileName) {}

    int m_cause = none;
    CString m_strFileName;
};
