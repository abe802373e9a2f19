// CArchive: a file read or written front to back as a sequence of values and
// objects. Values are little-endian. Reads and writes go straight to the
// file, so the file's position is the archive's.
//
// An object reference (operator<< and operator>> of a CObject pointer) is
// written as a 16-bit tag:
//   0x0000  a null reference; nothing follows.
//   0xFFFF  an object: the 16-bit schema of its class, the 16-bit length L
//           (1 to 64) of the class name, the L bytes of the name (printable
//           ASCII), then what the object's Serialize writes.
// Every reference writes its object whole: objects are not shared between
// references. Loading creates the object by its class name from the
// registered run-time class records, and refuses, with CArchiveException,
// any other tag (badIndex), a name out of bounds, unknown or of a class that
// cannot be created or is not of the kind expected (badClass), and a schema
// other than the class's (badSchema).
#pragma once

#include "fw/Exception.h"
#include "fw/File.h"
#include "fw/Object.h"

class CArchive {
public:
    enum Mode : UINT { store = 0, load = 1 };

    CArchive(CFile* file, UINT mode) : m_pFile(file), m_nMode(mode) {}
    CArchive(const CArchive&) = delete;
    CArchive& operator=(const CArchive&) = delete;

    BOOL IsLoading() const { return m_nMode == load; }
    BOOL IsStoring() const { return m_nMode == store; }
    CFile* GetFile() const { return m_pFile; }

    // Reads up to count bytes; returns how many arrived (fewer only at the end
    // of the file). Throws CArchiveException (writeOnly) on a storing archive.
    UINT Read(void* buffer, UINT count);
    // Writes all count bytes. Throws CArchiveException (readOnly) on a
    // loading archive; file errors throw CFileException.
    void Write(const void* buffer, UINT count);

    // Values. A value cut short by the end of the file throws
    // CArchiveException (endOfFile).
    CArchive& operator<<(BYTE value);
    CArchive& operator<<(WORD value);
    CArchive& operator<<(DWORD value);
    CArchive& operator<<(LONG value);
    CArchive& operator>>(BYTE& value);
    CArchive& operator>>(WORD& value);
    CArchive& operator>>(DWORD& value);
    CArchive& operator>>(LONG& value);

    // Object references. ReadObject returns a new object the caller owns (null
    // for a null reference) whose class derives from `expected`.
    void WriteObject(const CObject* object);
    CObject* ReadObject(const CRuntimeClass* expected);

    static constexpr WORD kNullTag = 0x0000;
    static constexpr WORD kObjectTag = 0xFFFF;
    static constexpr WORD kMaxClassName = 64;

    // Reads exactly count bytes; fewer throw CArchiveException (endOfFile).
    void ReadExactly(void* buffer, UINT count);

private:
    [[noreturn]] void Fail(int cause) const;

    CFile* m_pFile;
    UINT m_nMode;
};

inline CArchive& operator<<(CArchive& ar, const CObject* object) {
    ar.WriteObject(object);
    return ar;
}
inline CArchive& operator>>(CArchive& ar, CObject*& object) {
    object = ar.ReadObject(&CObject::classCObject);
    return ar;
}
