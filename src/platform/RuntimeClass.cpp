#include "talvex05u/platform/RuntimeClass.h"

#include <cstring>

const CRuntimeClass classCObject{"CObject", nullptr};
const CRuntimeClass classCException{"CException", &classCObject};

bool CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const {
    for (const CRuntimeClass* c = this; c != nullptr; c = c->m_pBaseClass) {
        if (c == base) return true;
    }
    return false;
}

const CRuntimeClass* CObject::GetRuntimeClass() const { return &classCObject; }
const CRuntimeClass* CObject::GetThisClass() { return &classCObject; }

const CRuntimeClass* CException::GetRuntimeClass() const { return &classCException; }
const CRuntimeClass* CException::GetThisClass() { return &classCException; }

void CException::Delete() {
    if (m_bAutoDelete) delete this;
}

int CException::GetErrorMessage(wchar_t* buffer, unsigned int size, unsigned int*) const {
    if (buffer != nullptr && size > 0) buffer[0] = L'\0';
    return 0;
}
