// A writer of the identity record file in a process of its own, for the tests
// of writers that take turns: record_writer PATH SERIAL ROUND writes the record
// "SERIAL,ROUND,R1,R1,00:11,00:12" and exits 0, or 1 when the rewrite failed.
#include <cstdio>
#include <string>

#include "zodaruruvizi/devices/identityrecords.h"

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    const std::string serial = argv[2];
    const std::string record = serial + "," + argv[3] + ",R1,R1,00:11,00:12";
    try {
        StoreIdentityRecord(argv[1], serial, record, "dropped");
    } catch (CFileException* e) {
        std::fprintf(stderr, "%s: cause %d, system error %ld\n", argv[2], e->m_cause,
                     static_cast<long>(e->m_lOsError));
        e->Delete();
        return 1;
    }
    return 0;
}
