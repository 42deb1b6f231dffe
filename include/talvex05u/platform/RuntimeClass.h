#pragma once
// The small object model the socket classes carry: a run-time class record
// (name and base), CObject at the root, and CException with Delete() for
// exceptions that are thrown as pointers to heap objects.

struct CRuntimeClass {
    const char* m_lpszClassName;
    const CRuntimeClass* m_pBaseClass;
    // True when this class is `base` or derives from it.
    bool IsDerivedFrom(const CRuntimeClass* base) const;
};

class CObject {
public:
    virtual const CRuntimeClass* GetRuntimeClass() const;
    virtual ~CObject() = default;
    static const CRuntimeClass* GetThisClass();
    bool IsKindOf(const CRuntimeClass* cls) const { return GetRuntimeClass()->IsDerivedFrom(cls); }
};
extern const CRuntimeClass classCObject;

class CException : public CObject {
public:
    CException() = default;
    const CRuntimeClass* GetRuntimeClass() const override;
    static const CRuntimeClass* GetThisClass();
    // Frees an exception that was thrown as a pointer from `new`.
    void Delete();
    // Writes the exception's description; returns 1 (true) when it wrote one.
    virtual int GetErrorMessage(wchar_t* buffer, unsigned int size, unsigned int* helpContext = nullptr) const;

protected:
    bool m_bAutoDelete = true;  // set for heap exceptions; Delete() frees only those
};
extern const CRuntimeClass classCException;
