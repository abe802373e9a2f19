#include "fw/Archive.h"

#include <cstring>
#include <memory>

namespace {

template <class T>
void PutLittleEndian(CArchive& ar, T value) {
    BYTE bytes[sizeof(T)];
    for (std::size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<BYTE>(value >> (8 * i));
    ar.Write(bytes, sizeof bytes);
}

template <class T>
T GetLittleEndian(CArchive& ar) {
    BYTE bytes[sizeof(T)];
    ar.ReadExactly(bytes, sizeof bytes);
    std::make_unsigned_t<T> value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        value |= static_cast<std::make_unsigned_t<T>>(std::make_unsigned_t<T>{bytes[i]} << (8 * i));
    return static_cast<T>(value);
}

} // namespace

UINT CArchive::Read(void* buffer, UINT count) {
    if (!IsLoading()) Fail(CArchiveException::writeOnly);
    return m_pFile->Read(buffer, count);
}

void CArchive::Write(const void* buffer, UINT count) {
    if (!IsStoring()) Fail(CArchiveException::readOnly);
    m_pFile->Write(buffer, count);
}

void CArchive::ReadExactly(void* buffer, UINT count) {
    if (Read(buffer, count) != count) Fail(CArchiveException::endOfFile);
}

void CArchive::Fail(int cause) const {
    throw CArchiveException(cause,
                            m_pFile ? static_cast<LPCTSTR>(m_pFile->m_strFileName) : nullptr);
}

CArchive& CArchive::operator<<(BYTE value) {
    Write(&value, 1);
    return *this;
}
CArchive& CArchive::operator<<(WORD value) {
    PutLittleEndian(*this, value);
    return *this;
}
CArchive& CArchive::operator<<(DWORD value) {
    PutLittleEndian(*this, value);
    return *this;
}
CArchive& CArchive::operator<<(LONG value) {
    PutLittleEndian(*this, static_cast<DWORD>(value));
    return *this;
}

CArchive& CArchive::operator>>(BYTE& value) {
    ReadExactly(&value, 1);
    return *this;
}
CArchive& CArchive::operator>>(WORD& value) {
    value = GetLittleEndian<WORD>(*this);
    return *this;
}
CArchive& CArchive::operator>>(DWORD& value) {
    value = GetLittleEndian<DWORD>(*this);
    return *this;
}
CArchive& CArchive::operator>>(LONG& value) {
    value = GetLittleEndian<LONG>(*this);
    return *this;
}

void CArchive::WriteObject(const CObject* object) {
    if (!object) {
        *this << kNullTag;
        return;
    }
    const CRuntimeClass* record = object->GetRuntimeClass();
    const std::size_t length = std::strlen(record->m_lpszClassName);
    if (length == 0 || length > kMaxClassName) Fail(CArchiveException::badClass);
    *this << kObjectTag << static_cast<WORD>(record->m_wSchema) << static_cast<WORD>(length);
    Write(record->m_lpszClassName, static_cast<UINT>(length));
    // Serialize changes nothing while storing.
    const_cast<CObject*>(object)->Serialize(*this);
}

CObject* CArchive::ReadObject(const CRuntimeClass* expected) {
    WORD tag = 0;
    *this >> tag;
    if (tag == kNullTag) return nullptr;
    if (tag != kObjectTag) Fail(CArchiveException::badIndex);

    WORD schema = 0, length = 0;
    *this >> schema >> length;
    if (length == 0 || length > kMaxClassName) Fail(CArchiveException::badClass);
    char name[kMaxClassName + 1] = {};
    ReadExactly(name, length);
    for (WORD i = 0; i < length; ++i)
        if (name[i] < 0x21 || name[i] > 0x7E) Fail(CArchiveException::badClass);

    const CRuntimeClass* record = CRuntimeClass::FromName(name);
    if (!record || !record->m_pfnCreateObject || !record->IsDerivedFrom(expected))
        Fail(CArchiveException::badClass);
    if (schema != record->m_wSchema) Fail(CArchiveException::badSchema);

    std::unique_ptr<CObject> object(record->CreateObject());
    if (!object) Fail(CArchiveException::badClass);
    object->Serialize(*this);
    return object.release();
}
