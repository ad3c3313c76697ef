// The six comparison outcomes of one check, in code-type order.
#ifndef ZODARURUVIZI_CHECKS_CODEDIFFRESULTS_H
#define ZODARURUVIZI_CHECKS_CODEDIFFRESULTS_H

#include "platform/afx.h"
#include "platform/export.h"
#include "zodaruruvizi/checks/codetypes.h"

// A plain value: passed and returned by value, owns no resources.
class ZODARURUVIZI_API CCodeDiffResults {
public:
    CCodeDiffResults();  // all DT_SAME
    CCodeDiffResults(const CCodeDiffResults& other);
    CCodeDiffResults& operator=(const CCodeDiffResults& other);
    // Copies the fields; the source keeps its values.
    CCodeDiffResults& operator=(CCodeDiffResults&& other);

    // True when any field is not DT_SAME (values outside the enumeration count).
    bool DifferencesFound();
    // "LC:%s, PROM:%s, BS:%s, CPLD:%s, MAC:%s, R318:%s," with each field's text;
    // a value outside the enumeration prints as an empty word.
    CString ToString();

    DIFFTYPE m_LC;
    DIFFTYPE m_PROM;
    DIFFTYPE m_BS;
    DIFFTYPE m_CPLD;
    DIFFTYPE m_MAC;
    DIFFTYPE m_R318;

private:
    CString DiffTypeToString(DIFFTYPE diffType);
};

#endif
