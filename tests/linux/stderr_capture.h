// Captures what the process writes to standard error between construction and
// text(), through a temporary file.
#ifndef VARNEX_TESTS_STDERR_CAPTURE_H
#define VARNEX_TESTS_STDERR_CAPTURE_H

#include <unistd.h>

#include <cstdio>
#include <string>

class StderrCapture {
public:
    StderrCapture()
    {
        std::fflush(stderr);
        file_ = std::tmpfile();
        saved_fd_ = dup(STDERR_FILENO);
        dup2(fileno(file_), STDERR_FILENO);
    }
    ~StderrCapture()
    {
        restore();
        std::fclose(file_);
    }
    std::string text()
    {
        restore();
        std::string captured;
        std::rewind(file_);
        char buffer[256];
        size_t length;
        while ((length = std::fread(buffer, 1, sizeof buffer, file_)) > 0) {
            captured.append(buffer, length);
        }
        return captured;
    }

private:
    void restore()
    {
        if (saved_fd_ >= 0) {
            std::fflush(stderr);
            dup2(saved_fd_, STDERR_FILENO);
            close(saved_fd_);
            saved_fd_ = -1;
        }
    }
    std::FILE* file_;
    int saved_fd_;
};

#endif
