#pragma once
// A fresh SQLite file path in the temp folder, removed with its side files when the object goes.

#include <atomic>
#include <filesystem>
#include <string>
#include <unistd.h>

class TempDatabase {
public:
    TempDatabase() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("korvex-lite-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".sqlite");
        remove();
    }
    ~TempDatabase() { remove(); }
    TempDatabase(const TempDatabase&) = delete;
    TempDatabase& operator=(const TempDatabase&) = delete;

    std::string path() const { return path_.string(); }

private:
    void remove() {
        std::error_code ignored;
        for (const char* suffix : {"", "-journal", "-wal", "-shm", "-writer-lock"}) {
            std::filesystem::remove(path_.string() + suffix, ignored);
        }
    }
    std::filesystem::path path_;
};
