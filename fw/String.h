// CString: the framework's string. Holds 8-bit text (UTF-8 on this platform);
// lengths and positions count bytes, as the framework's single-byte build does.
#pragma once

#include "platform/WinTypes.h"

#include <string>

class CString {
public:
    CString() = default;
    CString(LPCTSTR text) : m_str(text ? text : "") {}
    CString(const std::string& text) : m_str(text) {}

    int GetLength() const { return static_cast<int>(m_str.size()); }
    BOOL IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }

    // The last n characters; the whole string when it is shorter.
    CString Right(int n) const;
    CString Left(int n) const;
    CString Mid(int first) const;
    CString Mid(int first, int count) const;
    // Position of the first occurrence, or -1.
    int Find(char ch) const;
    int Find(LPCTSTR sub) const;
    int ReverseFind(char ch) const;
    CString& MakeLower();
    CString& MakeUpper();

    // Loads entry id of the program's string table; FALSE (and an empty
    // string) when there is no such entry.
    BOOL LoadString(UINT id);

    CString& operator+=(const CString& other) {
        m_str += other.m_str;
        return *this;
    }
    CString& operator+=(char ch) {
        m_str += ch;
        return *this;
    }
    friend CString operator+(CString a, const CString& b) { return a += b; }
    friend bool operator==(const CString& a, const CString& b) { return a.m_str == b.m_str; }
    friend bool operator==(const CString& a, LPCTSTR b) { return a.m_str == (b ? b : ""); }

    operator LPCTSTR() const { return m_str.c_str(); }
    const std::string& str() const { return m_str; }

private:
    std::string m_str;
};

// Formats string-table entry id, putting text in place of every "%1".
void AfxFormatString1(CString& result, UINT id, LPCTSTR text);
// The same with "%1" and "%2".
void AfxFormatString2(CString& result, UINT id, LPCTSTR first, LPCTSTR second);
