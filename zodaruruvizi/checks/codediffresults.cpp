#include "zodaruruvizi/checks/codediffresults.h"

CCodeDiffResults::CCodeDiffResults()
    : m_LC(DT_SAME),
      m_PROM(DT_SAME),
      m_BS(DT_SAME),
      m_CPLD(DT_SAME),
      m_MAC(DT_SAME),
      m_R318(DT_SAME) {}

CCodeDiffResults::CCodeDiffResults(const CCodeDiffResults& other)
    : m_LC(other.m_LC),
      m_PROM(other.m_PROM),
      m_BS(other.m_BS),
      m_CPLD(other.m_CPLD),
      m_MAC(other.m_MAC),
      m_R318(other.m_R318) {}

CCodeDiffResults& CCodeDiffResults::operator=(const CCodeDiffResults& other) {
    m_LC = other.m_LC;
    m_PROM = other.m_PROM;
    m_BS = other.m_BS;
    m_CPLD = other.m_CPLD;
    m_MAC = other.m_MAC;
    m_R318 = other.m_R318;
    return *this;
}

CCodeDiffResults& CCodeDiffResults::operator=(CCodeDiffResults&& other) {
    return *this = static_cast<const CCodeDiffResults&>(other);
}

bool CCodeDiffResults::DifferencesFound() {
    return m_LC != DT_SAME || m_PROM != DT_SAME || m_BS != DT_SAME || m_CPLD != DT_SAME ||
           m_MAC != DT_SAME || m_R318 != DT_SAME;
}

CString CCodeDiffResults::ToString() {
    CString text;
    text.Format("LC:%s, PROM:%s, BS:%s, CPLD:%s, MAC:%s, R318:%s,",
                DiffTypeToString(m_LC).GetString(), DiffTypeToString(m_PROM).GetString(),
                DiffTypeToString(m_BS).GetString(), DiffTypeToString(m_CPLD).GetString(),
                DiffTypeToString(m_MAC).GetString(), DiffTypeToString(m_R318).GetString());
    return text;
}

CString CCodeDiffResults::DiffTypeToString(DIFFTYPE diffType) {
    switch (diffType) {
        case DT_SAME:
            return "Same";
        case DT_NEWER:
            return "Newer";
        case DT_OLDER:
            return "Older";
        case DT_FORCED:
            return "Forced";
    }
    return CString();
}
