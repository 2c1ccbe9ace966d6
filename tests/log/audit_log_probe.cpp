// Writes one audit record through the real syslog(3) path and prints its process id, so a test can match the line's
// [PID]. usage: audit_log_probe COMMAND OUTCOME EXIT_CODE ADDRESS COMPUTER SERVER DATABASE LOGIN
// The database password arrives on standard input and stays in the process's memory while the record is written,
// as it does in the real program.
#include "common/Secret.h"
#include "platform/log/AuditLog.h"

#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 9) {
        std::fprintf(stderr, "usage: %s COMMAND OUTCOME EXIT_CODE ADDRESS COMPUTER SERVER DATABASE LOGIN\n", argv[0]);
        return 2;
    }
    SecretText password{CString(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>())};
    AuditRecord record;
    record.command = argv[1];
    record.outcome = argv[2];
    record.exitCode = std::stoi(argv[3]);
    record.address = argv[4];
    record.computerName = argv[5];
    record.databaseServer = argv[6];
    record.databaseName = argv[7];
    record.login = argv[8];
    WriteAuditRecord(record);
    std::printf("%d\n", static_cast<int>(::getpid()));
    return password.empty() ? 1 : 0;
}
