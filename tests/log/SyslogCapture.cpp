#include "tests/log/SyslogCapture.h"

#include <cctype>
#include <fstream>
#include <stdexcept>

namespace enlistor::test {

namespace {

constexpr int kNoNamespace = 125;

} // namespace

SyslogCapture RunWithSyslogCapture(const std::vector<std::string>& argv, const ProcessOptions& options) {
    if (options.unprivileged)
        throw std::invalid_argument("RunWithSyslogCapture cannot drop privileges");
    TempDir dir;
    const std::filesystem::path logFile = dir.path() / "syslog.txt";
    std::vector<std::string> wrapped = {"python3", ENLISTOR_SOURCE_DIR "/tests/log/capture-syslog.py", logFile.string(),
                                        "--"};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());

    SyslogCapture capture;
    capture.process = RunProcess(wrapped, options);
    capture.available = !(capture.process.exitCode == kNoNamespace &&
                          capture.process.errors.find("capture-syslog:") != std::string::npos);
    std::ifstream in(logFile, std::ios::binary);
    for (std::string line; std::getline(in, line);)
        capture.datagrams.push_back(line);
    return capture;
}

std::optional<SyslogMessage> ParseSyslogDatagram(const std::string& datagram) {
    SyslogMessage parsed;
    parsed.raw = datagram;
    if (datagram.size() < 3 || datagram[0] != '<')
        return std::nullopt;
    const std::size_t close = datagram.find('>');
    if (close == std::string::npos || close == 1)
        return std::nullopt;
    int priority = 0;
    for (std::size_t i = 1; i < close; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(datagram[i])))
            return std::nullopt;
        priority = priority * 10 + (datagram[i] - '0');
    }
    parsed.facility = priority >> 3;
    parsed.severity = priority & 7;
    // The time stamp is "Mmm dd hh:mm:ss " (15 characters and a space).
    std::size_t pos = close + 1 + 16;
    const std::size_t colon = datagram.find(": ", pos);
    if (pos > datagram.size() || colon == std::string::npos)
        return std::nullopt;
    std::string tag = datagram.substr(pos, colon - pos);
    if (!tag.empty() && tag.back() == ']') {
        const std::size_t open = tag.rfind('[');
        if (open == std::string::npos)
            return std::nullopt;
        parsed.pid = std::stoi(tag.substr(open + 1, tag.size() - open - 2));
        tag.resize(open);
    }
    parsed.ident = tag;
    parsed.message = datagram.substr(colon + 2);
    return parsed;
}

std::optional<std::map<std::string, std::string>> ParseAuditFields(const std::string& line) {
    std::map<std::string, std::string> fields;
    std::size_t pos = 0;
    while (pos < line.size()) {
        const std::size_t equals = line.find('=', pos);
        if (equals == std::string::npos || equals == pos)
            return std::nullopt;
        const std::string name = line.substr(pos, equals - pos);
        if (name.find_first_of(" \"") != std::string::npos)
            return std::nullopt;
        std::string value;
        pos = equals + 1;
        if (pos < line.size() && line[pos] == '"') {
            for (++pos;; ++pos) {
                if (pos >= line.size())
                    return std::nullopt;
                if (line[pos] == '"')
                    break;
                if (line[pos] == '\\') {
                    if (pos + 1 >= line.size() || (line[pos + 1] != '"' && line[pos + 1] != '\\'))
                        return std::nullopt;
                    ++pos;
                }
                value += line[pos];
            }
            ++pos;
        } else {
            const std::size_t space = line.find(' ', pos);
            const std::size_t end = space == std::string::npos ? line.size() : space;
            value = line.substr(pos, end - pos);
            pos = end;
        }
        if (pos < line.size()) {
            if (line[pos] != ' ')
                return std::nullopt;
            ++pos;
        }
        if (!fields.emplace(name, value).second)
            return std::nullopt;
    }
    return fields;
}

} // namespace enlistor::test
