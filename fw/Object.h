// CObject, the root of the framework's classes, and its run-time class
// records. A serialisable class declares its record with DECLARE_SERIAL and
// defines it with IMPLEMENT_SERIAL; the definition registers the record when
// the program starts, so that the class can be created by name. Records are
// only read once main has begun, so any thread may look classes up.
#pragma once

#include "platform/WinTypes.h"

class CArchive;
class CObject;

struct CRuntimeClass {
    LPCTSTR m_lpszClassName;
    int m_nObjectSize;
    UINT m_wSchema;
    CObject* (*m_pfnCreateObject)();
    const CRuntimeClass* m_pBaseClass;

    // A new object of the class, or null when it has no factory.
    CObject* CreateObject() const { return m_pfnCreateObject ? m_pfnCreateObject() : nullptr; }
    BOOL IsDerivedFrom(const CRuntimeClass* base) const;
    // The registered record of that name, or null.
    static const CRuntimeClass* FromName(LPCTSTR className);
};

// Adds a record to the registry (done by IMPLEMENT_SERIAL at start-up).
struct AFX_CLASSINIT {
    explicit AFX_CLASSINIT(const CRuntimeClass* record);
};

class CObject {
public:
    virtual const CRuntimeClass* GetRuntimeClass() const;
    virtual ~CObject() = default;
    virtual void Serialize(CArchive& ar);

    BOOL IsKindOf(const CRuntimeClass* record) const;
    static const CRuntimeClass classCObject;

protected:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
};

#define RUNTIME_CLASS(class_name) (&class_name::class##class_name)

#define DECLARE_SERIAL(class_name)                                                                 \
public:                                                                                            \
    static const CRuntimeClass class##class_name;                                                  \
    const CRuntimeClass* GetRuntimeClass() const override;                                         \
    static CObject* CreateObject();

#define IMPLEMENT_SERIAL(class_name, base_class_name, schema)                                      \
    CObject* class_name::CreateObject() {                                                          \
        return new class_name;                                                                     \
    }                                                                                              \
    const CRuntimeClass class_name::class##class_name = {                                          \
        #class_name, static_cast<int>(sizeof(class_name)), schema, class_name::CreateObject,       \
        RUNTIME_CLASS(base_class_name)};                                                           \
    const CRuntimeClass* class_name::GetRuntimeClass() const {                                     \
        return RUNTIME_CLASS(class_name);                                                          \
    }                                                                                              \
    static const AFX_CLASSINIT _init_##class_name(RUNTIME_CLASS(class_name));
