// A network namespace made for one test (or benchmark) and removed with it: created with `ip netns add` under a
// name unique to this process, configured through `ip -n <name> ...`, and entered by a forked child for each call
// of the code under test.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

class NetNamespace {
public:
    // The namespace, or null with the reason in `reason` when this machine refuses to make one.
    static std::unique_ptr<NetNamespace> Create(std::string& reason);
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    const std::string& name() const { return m_name; }
    // Runs `ip -n <name> <args...>`; true when it exits with 0.
    bool Ip(const std::vector<std::string>& args) const;
    // Runs `ip -n <name> -batch <file>` over the given lines; true when every line succeeded.
    bool IpBatch(const std::vector<std::string>& lines) const;
    // Runs `call` in a child process that has entered the namespace and returns the text it produced; a child that
    // cannot enter the namespace or dies gives "<child failed: ...>".
    std::string RunInside(const std::function<std::string()>& call) const;
    // Enters the namespace with the calling thread, for benchmarks; Leave returns to the namespace it came from.
    bool Enter();
    void Leave();

private:
    explicit NetNamespace(std::string name) : m_name(std::move(name)) {}
    std::string m_name;
    int m_originalNamespace = -1;
};

// Runs a program with arguments, waiting for it; true when it exits with 0. Output goes to the test's own streams.
bool RunProgram(const std::vector<std::string>& argv);
