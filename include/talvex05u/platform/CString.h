#pragma once
// CString: the wide string that the interface passes (computer names, dotted
// addresses, conversions). A small value type over std::wstring with the surface
// applications use.
#include <cstddef>
#include <string>

class CString {
public:
    CString() = default;
    CString(const wchar_t* text) : m_text(text ? text : L"") {}      // NOLINT: implicit like MFC
    CString(const std::wstring& text) : m_text(text) {}              // NOLINT
    CString(const wchar_t* text, int count) : m_text(text ? std::wstring(text, text + (count > 0 ? count : 0)) : std::wstring()) {}

    operator const wchar_t*() const { return m_text.c_str(); }       // NOLINT
    const wchar_t* GetString() const { return m_text.c_str(); }
    int GetLength() const { return static_cast<int>(m_text.size()); }
    bool IsEmpty() const { return m_text.empty(); }
    void Empty() { m_text.clear(); }
    const std::wstring& str() const { return m_text; }

    CString& operator+=(const CString& other) { m_text += other.m_text; return *this; }
    CString& operator+=(const wchar_t* other) { if (other) m_text += other; return *this; }
    friend CString operator+(CString a, const CString& b) { a += b; return a; }
    friend CString operator+(CString a, const wchar_t* b) { a += b; return a; }

    friend bool operator==(const CString& a, const CString& b) { return a.m_text == b.m_text; }
    friend bool operator!=(const CString& a, const CString& b) { return a.m_text != b.m_text; }
    friend bool operator==(const CString& a, const wchar_t* b) { return a.m_text == (b ? b : L""); }
    friend bool operator!=(const CString& a, const wchar_t* b) { return !(a == b); }

private:
    std::wstring m_text;
};
