// Stands in for the loading of system DLLs while in scope: refuses them, or
// hands out the copies this test program has loaded already, counting the
// names asked for.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/systemLibrary.h"

class ReplacedLibraryLoad {
public:
    enum class Answer { Refuse, AlreadyLoaded };

    explicit ReplacedLibraryLoad(Answer answer)
    {
        answer_ = answer;
        requested_.clear();
        setLibraryLoadFunction(load);
    }
    ~ReplacedLibraryLoad() { setLibraryLoadFunction(nullptr); }
    ReplacedLibraryLoad(const ReplacedLibraryLoad&) = delete;
    ReplacedLibraryLoad& operator=(const ReplacedLibraryLoad&) = delete;

    const std::vector<std::wstring>& requested() const { return requested_; }

private:
    // GetModuleHandleW takes no reference, so nothing is left to free.
    static HMODULE load(const wchar_t* name)
    {
        requested_.push_back(name);
        return answer_ == Answer::Refuse ? nullptr : GetModuleHandleW(name);
    }

    static inline Answer answer_ = Answer::Refuse;
    static inline std::vector<std::wstring> requested_;
};
