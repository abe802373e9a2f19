#include "fw/String.h"

#include "res/StringTable.h"

#include <algorithm>
#include <cctype>

CString CString::Right(int n) const {
    if (n <= 0) return CString();
    if (n >= GetLength()) return *this;
    return CString(m_str.substr(m_str.size() - static_cast<std::size_t>(n)));
}

CString CString::Left(int n) const {
    if (n <= 0) return CString();
    return CString(m_str.substr(0, static_cast<std::size_t>(n)));
}

CString CString::Mid(int first) const {
    return Mid(first, GetLength());
}

CString CString::Mid(int first, int count) const {
    first = std::clamp(first, 0, GetLength());
    count = std::clamp(count, 0, GetLength() - first);
    return CString(m_str.substr(static_cast<std::size_t>(first), static_cast<std::size_t>(count)));
}

int CString::Find(char ch) const {
    auto at = m_str.find(ch);
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CString::Find(LPCTSTR sub) const {
    auto at = m_str.find(sub ? sub : "");
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CString::ReverseFind(char ch) const {
    auto at = m_str.rfind(ch);
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

CString& CString::MakeLower() {
    for (char& c : m_str) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return *this;
}

CString& CString::MakeUpper() {
    for (char& c : m_str) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return *this;
}

BOOL CString::LoadString(UINT id) {
    LPCTSTR text = FindResourceString(id);
    m_str = text ? text : "";
    return text != nullptr;
}

namespace {

// String-table entry id with "%1" and "%2" replaced by their texts.
CString FormatString(UINT id, LPCTSTR first, LPCTSTR second) {
    CString pattern;
    pattern.LoadString(id);
    std::string out;
    const std::string& p = pattern.str();
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (p[i] == '%' && i + 1 < p.size() && (p[i + 1] == '1' || p[i + 1] == '2')) {
            LPCTSTR text = p[i + 1] == '1' ? first : second;
            out += text ? text : "";
            ++i;
        } else {
            out += p[i];
        }
    }
    return CString(out);
}

} // namespace

void AfxFormatString1(CString& result, UINT id, LPCTSTR text) {
    result = FormatString(id, text, "%2");
}

void AfxFormatString2(CString& result, UINT id, LPCTSTR first, LPCTSTR second) {
    result = FormatString(id, first, second);
}
