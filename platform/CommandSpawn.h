#pragma once
// Starting configured commands: posix_spawn without a shell, and a small table of file types that maps
// a file's extension to the program that opens it.
//
// Threads: every function is safe from any thread; a FileTypeTable is read-only once built.

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vgplat {

// Extension (lower case, with its ".") -> the program that opens such a file.
class FileTypeTable {
public:
    // The built-in table: ".sh" /bin/sh, ".py" python3, ".pl" perl.
    static FileTypeTable Default();

    void Set(const std::string& extension, const std::string& program);
    // The program for an extension (compared without letter case), or empty.
    std::string Find(const std::string& extension) const;

private:
    std::map<std::string, std::string> m_programs;
};

// Starts program with argv (argv[0] included) and the process's environment, without waiting for it to
// end; a detached reaper thread collects it when it ends. 0 when started, else the errno of the failure.
// pid (optional) receives the child's process id. onExit (optional) runs on the reaper thread once the
// child has ended, with its pid and wait status (-1 when it could not be waited for); it is never
// called when no reaper thread could be started (then the child is collected when the engine ends).
int SpawnDetached(const std::string& program, const std::vector<std::string>& argv, int* pid = nullptr,
                  std::function<void(int pid, int status)> onExit = nullptr);

// "exit status N", "killed by signal N", or "not waited for" (status -1): a wait status as the log says it.
std::string DescribeWaitStatus(int status);

// The name of a spawn failure as the engine logs it: "ENOENT" (no such file), "ENOEXEC" (not
// executable, including no permission), "ENOMEM", or "Unknown Error".
const char* SpawnErrorName(int error);

} // namespace vgplat
