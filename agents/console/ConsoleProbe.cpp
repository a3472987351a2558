// NimboConsoleProbe: a console program with predictable behaviour, run by the remote console
// agent in tests, the benchmark and demonstrations. It reads one command per line from its
// standard input (CRLF or LF):
//
//   echo <text>   writes <text> CRLF to standard output
//   err <text>    writes <text> CRLF to standard error
//   burst <n>     writes n bytes of numbered lines to standard output: "%08u <filler>\r\n",
//                 64 bytes per line, numbered from 0, the last line cut short at n bytes
//   exit [code]   ends with that exit code (0 when none)
//
// Unknown commands are ignored. The end of standard input ends the program with 0.
// Arguments: "--banner <text>" writes <text> CRLF to standard output at the start;
// "--burst <n>" writes a burst at the start and ends with 0.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
void Write(DWORD which, const char* data, size_t size)
{
    HANDLE handle = GetStdHandle(which);
    while (size > 0)
    {
        DWORD written = 0;
        if (!WriteFile(handle, data, static_cast<DWORD>(size), &written, nullptr) || written == 0)
            ExitProcess(3);   // nobody reads any more
        data += written;
        size -= written;
    }
}

void WriteLine(DWORD which, const std::string& text)
{
    const std::string line = text + "\r\n";
    Write(which, line.data(), line.size());
}

// The filler of line i is one letter, changing from line to line, so a line that arrives
// shifted or twice stands out.
void Burst(unsigned long long total)
{
    const size_t LineSize = 64;
    std::string chunk;
    chunk.reserve(64 * 1024 + LineSize);
    unsigned long long done = 0;
    for (unsigned long line = 0; done < total; ++line)
    {
        char text[LineSize + 1];
        std::snprintf(text, sizeof(text), "%08lu ", line);
        std::memset(text + 9, 'A' + line % 26, LineSize - 11);
        text[LineSize - 2] = '\r';
        text[LineSize - 1] = '\n';
        const size_t take = static_cast<size_t>(total - done < LineSize ? total - done : LineSize);
        chunk.append(text, take);
        done += take;
        if (chunk.size() >= 64 * 1024)
        {
            Write(STD_OUTPUT_HANDLE, chunk.data(), chunk.size());
            chunk.clear();
        }
    }
    Write(STD_OUTPUT_HANDLE, chunk.data(), chunk.size());
}

// Returns false when the program should end; `exitCode` then says how.
bool Run(const std::string& line, int& exitCode)
{
    const size_t space = line.find(' ');
    const std::string command = line.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (command == "echo")
        WriteLine(STD_OUTPUT_HANDLE, rest);
    else if (command == "err")
        WriteLine(STD_ERROR_HANDLE, rest);
    else if (command == "burst")
        Burst(std::strtoull(rest.c_str(), nullptr, 10));
    else if (command == "exit")
    {
        exitCode = std::atoi(rest.c_str());
        return false;
    }
    return true;
}
}

int main(int argc, char** argv)
{
    for (int i = 1; i + 1 < argc; i += 2)
    {
        if (std::strcmp(argv[i], "--banner") == 0)
            WriteLine(STD_OUTPUT_HANDLE, argv[i + 1]);
        else if (std::strcmp(argv[i], "--burst") == 0)
        {
            Burst(std::strtoull(argv[i + 1], nullptr, 10));
            return 0;
        }
    }

    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(input, buffer, sizeof(buffer), &read, nullptr) && read > 0)
    {
        pending.append(buffer, read);
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos)
        {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            int exitCode = 0;
            if (!Run(line, exitCode))
                return exitCode;
        }
    }
    return 0;
}
