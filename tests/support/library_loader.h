// Loads the built library at run time, as the terminal does.
#pragma once

#include <string>

namespace movu::test {

class Library {
public:
    explicit Library(const std::string& path);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    void Unload();

    template <class Fn>
    Fn Symbol(const char* name) const {
        return reinterpret_cast<Fn>(RawSymbol(name));
    }

    // The library next to the test program (Windows) or in its build folder.
    static std::string DefaultPath();

private:
    void* RawSymbol(const char* name) const;
    void* handle_ = nullptr;
    std::string error_;
};

}  // namespace movu::test
