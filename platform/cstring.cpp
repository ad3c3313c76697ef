#include "platform/afx.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char ToLowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
char ToUpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Clamps a position to [0, length].
size_t ClampPos(int pos, size_t length) {
    if (pos < 0)
        return 0;
    return std::min(static_cast<size_t>(pos), length);
}

}  // namespace

CString::CString(const char* psz) : m_str(psz ? psz : "") {}

CString::CString(const char* pch, int nLength) {
    if (pch && nLength > 0)
        m_str.assign(pch, static_cast<size_t>(nLength));
}

CString::CString(char ch, int nRepeat) {
    if (nRepeat > 0)
        m_str.assign(static_cast<size_t>(nRepeat), ch);
}

CString& CString::operator=(const char* psz) {
    m_str = psz ? psz : "";
    return *this;
}

CString& CString::operator=(char ch) {
    m_str.assign(1, ch);
    return *this;
}

char CString::GetAt(int nIndex) const {
    if (nIndex < 0 || static_cast<size_t>(nIndex) >= m_str.size())
        return 0;
    return m_str[static_cast<size_t>(nIndex)];
}

void CString::SetAt(int nIndex, char ch) {
    if (nIndex < 0 || static_cast<size_t>(nIndex) >= m_str.size())
        return;
    m_str[static_cast<size_t>(nIndex)] = ch;
}

void CString::FormatV(const char* pszFormat, va_list args) {
    m_str.clear();
    if (!pszFormat)
        return;
    char stackBuf[512];
    va_list copy;
    va_copy(copy, args);
    int needed = vsnprintf(stackBuf, sizeof stackBuf, pszFormat, copy);
    va_end(copy);
    if (needed < 0)
        return;
    if (static_cast<size_t>(needed) < sizeof stackBuf) {
        m_str.assign(stackBuf, static_cast<size_t>(needed));
        return;
    }
    std::string big(static_cast<size_t>(needed) + 1, '\0');
    va_copy(copy, args);
    int written = vsnprintf(&big[0], big.size(), pszFormat, copy);
    va_end(copy);
    if (written < 0)
        return;
    big.resize(std::min(static_cast<size_t>(written), static_cast<size_t>(needed)));
    m_str.swap(big);
}

void CString::Format(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    FormatV(pszFormat, args);
    va_end(args);
}

void CString::AppendFormat(const char* pszFormat, ...) {
    CString tail;
    va_list args;
    va_start(args, pszFormat);
    tail.FormatV(pszFormat, args);
    va_end(args);
    m_str += tail.m_str;
}

CString& CString::TrimLeft() {
    size_t i = 0;
    while (i < m_str.size() && IsSpace(m_str[i]))
        ++i;
    m_str.erase(0, i);
    return *this;
}

CString& CString::TrimRight() {
    size_t n = m_str.size();
    while (n > 0 && IsSpace(m_str[n - 1]))
        --n;
    m_str.resize(n);
    return *this;
}

CString& CString::Trim() {
    return TrimRight().TrimLeft();
}

CString& CString::TrimLeft(char chTarget) {
    size_t i = 0;
    while (i < m_str.size() && m_str[i] == chTarget)
        ++i;
    m_str.erase(0, i);
    return *this;
}

CString& CString::TrimRight(char chTarget) {
    size_t n = m_str.size();
    while (n > 0 && m_str[n - 1] == chTarget)
        --n;
    m_str.resize(n);
    return *this;
}

CString& CString::Trim(char chTarget) {
    return TrimRight(chTarget).TrimLeft(chTarget);
}

int CString::Find(const char* pszSub, int iStart) const {
    if (!pszSub || iStart < 0 || static_cast<size_t>(iStart) > m_str.size())
        return -1;
    size_t pos = m_str.find(pszSub, static_cast<size_t>(iStart));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::Find(char ch, int iStart) const {
    if (iStart < 0 || static_cast<size_t>(iStart) >= m_str.size())
        return -1;
    size_t pos = m_str.find(ch, static_cast<size_t>(iStart));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::ReverseFind(char ch) const {
    size_t pos = m_str.rfind(ch);
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::FindOneOf(const char* pszCharSet) const {
    if (!pszCharSet)
        return -1;
    size_t pos = m_str.find_first_of(pszCharSet);
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

CString CString::Left(int nCount) const {
    return CString(m_str.substr(0, ClampPos(nCount, m_str.size())));
}

CString CString::Mid(int iFirst) const {
    return CString(m_str.substr(ClampPos(iFirst, m_str.size())));
}

CString CString::Mid(int iFirst, int nCount) const {
    size_t first = ClampPos(iFirst, m_str.size());
    size_t count = ClampPos(nCount, m_str.size() - first);
    return CString(m_str.substr(first, count));
}

CString CString::Right(int nCount) const {
    size_t count = ClampPos(nCount, m_str.size());
    return CString(m_str.substr(m_str.size() - count));
}

int CString::Insert(int iIndex, const char* psz) {
    if (psz)
        m_str.insert(ClampPos(iIndex, m_str.size()), psz);
    return GetLength();
}

int CString::Insert(int iIndex, char ch) {
    m_str.insert(ClampPos(iIndex, m_str.size()), 1, ch);
    return GetLength();
}

int CString::Delete(int iIndex, int nCount) {
    size_t first = ClampPos(iIndex, m_str.size());
    m_str.erase(first, ClampPos(nCount, m_str.size() - first));
    return GetLength();
}

int CString::Replace(const char* pszOld, const char* pszNew) {
    if (!pszOld || !*pszOld)
        return 0;
    const std::string from(pszOld);
    const std::string to(pszNew ? pszNew : "");
    int count = 0;
    size_t pos = 0;
    while ((pos = m_str.find(from, pos)) != std::string::npos) {
        m_str.replace(pos, from.size(), to);
        pos += to.size();
        ++count;
    }
    return count;
}

int CString::Replace(char chOld, char chNew) {
    int count = 0;
    for (char& c : m_str) {
        if (c == chOld) {
            c = chNew;
            ++count;
        }
    }
    return count;
}

int CString::Remove(char ch) {
    size_t before = m_str.size();
    m_str.erase(std::remove(m_str.begin(), m_str.end(), ch), m_str.end());
    return static_cast<int>(before - m_str.size());
}

CString& CString::MakeUpper() {
    for (char& c : m_str)
        c = ToUpperAscii(c);
    return *this;
}

CString& CString::MakeLower() {
    for (char& c : m_str)
        c = ToLowerAscii(c);
    return *this;
}

int CString::Compare(const char* psz) const {
    return strcmp(m_str.c_str(), psz ? psz : "");
}

int CString::CompareNoCase(const char* psz) const {
    const unsigned char* a = reinterpret_cast<const unsigned char*>(m_str.c_str());
    const unsigned char* b = reinterpret_cast<const unsigned char*>(psz ? psz : "");
    for (;; ++a, ++b) {
        int ca = static_cast<unsigned char>(ToLowerAscii(static_cast<char>(*a)));
        int cb = static_cast<unsigned char>(ToLowerAscii(static_cast<char>(*b)));
        if (ca != cb)
            return ca - cb;
        if (ca == 0)
            return 0;
    }
}

char* CString::GetBuffer(int nMinBufLength) {
    size_t want = nMinBufLength > 0 ? static_cast<size_t>(nMinBufLength) : 0;
    if (m_str.size() < want)
        m_str.resize(want, '\0');
    return &m_str[0];
}

void CString::ReleaseBuffer(int nNewLength) {
    if (nNewLength < 0) {
        m_str.resize(strlen(m_str.c_str()));
    } else {
        m_str.resize(std::min(static_cast<size_t>(nNewLength), m_str.size()));
    }
}

CString& CString::operator+=(const CString& s) {
    m_str += s.m_str;
    return *this;
}

CString& CString::operator+=(const char* psz) {
    if (psz)
        m_str += psz;
    return *this;
}

CString& CString::operator+=(char ch) {
    m_str += ch;
    return *this;
}

CString operator+(const CString& a, const CString& b) {
    return CString(a.m_str + b.m_str);
}
CString operator+(const CString& a, const char* b) {
    CString r(a);
    r += b;
    return r;
}
CString operator+(const char* a, const CString& b) {
    CString r(a);
    r += b;
    return r;
}
CString operator+(const CString& a, char b) {
    CString r(a);
    r += b;
    return r;
}

bool operator==(const CString& a, const CString& b) {
    return a.str() == b.str();
}
bool operator==(const CString& a, const char* b) {
    return a.Compare(b) == 0;
}
bool operator==(const char* a, const CString& b) {
    return b.Compare(a) == 0;
}
bool operator!=(const CString& a, const CString& b) {
    return !(a == b);
}
bool operator!=(const CString& a, const char* b) {
    return !(a == b);
}
bool operator!=(const char* a, const CString& b) {
    return !(a == b);
}
bool operator<(const CString& a, const CString& b) {
    return a.str() < b.str();
}
