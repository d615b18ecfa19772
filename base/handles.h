#pragma once
// One owner for each kind of system handle the launcher opens. An owner
// closes its handle exactly once, on every path out of the code that opened
// it; it cannot be copied, and moving it hands the handle on.

#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <utility>

// The owner of one handle of `Kind`, which names the handle type, the value
// that means "no handle" and the call that closes one.
template <typename Kind>
class HandleOwner {
public:
    using Handle = typename Kind::Handle;

    HandleOwner() = default;
    explicit HandleOwner(Handle handle) : handle_(handle) {}
    ~HandleOwner() { reset(); }
    HandleOwner(const HandleOwner&) = delete;
    HandleOwner& operator=(const HandleOwner&) = delete;
    HandleOwner(HandleOwner&& other) noexcept : handle_(other.release()) {}
    HandleOwner& operator=(HandleOwner&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Kind::none(); }

    // Closes the handle held, then takes `handle`.
    void reset(Handle handle = Kind::none()) {
        if (handle_ != Kind::none()) Kind::close(handle_);
        handle_ = handle;
    }

    // For calls that hand a new handle out through a pointer: closes the one
    // held, and the owner takes whatever the call stores.
    Handle* put() {
        reset();
        return &handle_;
    }

    Handle release() { return std::exchange(handle_, Kind::none()); }

private:
    Handle handle_ = Kind::none();
};

namespace handle_kinds {

// CreateFileW's handles; "none" is INVALID_HANDLE_VALUE.
struct File {
    using Handle = HANDLE;
    static Handle none() { return INVALID_HANDLE_VALUE; }
    static void close(Handle handle) { CloseHandle(handle); }
};

// Other kernel objects (file mappings, processes); "none" is null.
struct Kernel {
    using Handle = HANDLE;
    static Handle none() { return nullptr; }
    static void close(Handle handle) { CloseHandle(handle); }
};

struct MappedView {
    using Handle = void*;
    static Handle none() { return nullptr; }
    static void close(Handle view) { UnmapViewOfFile(view); }
};

struct FileSearch {
    using Handle = HANDLE;
    static Handle none() { return INVALID_HANDLE_VALUE; }
    static void close(Handle handle) { FindClose(handle); }
};

struct RegistryKey {
    using Handle = HKEY;
    static Handle none() { return nullptr; }
    static void close(Handle key) { RegCloseKey(key); }
};

struct WinHttp {
    using Handle = HINTERNET;
    static Handle none() { return nullptr; }
    static void close(Handle handle) { WinHttpCloseHandle(handle); }
};

struct CngAlgorithm {
    using Handle = BCRYPT_ALG_HANDLE;
    static Handle none() { return nullptr; }
    static void close(Handle handle) { BCryptCloseAlgorithmProvider(handle, 0); }
};

struct CngHash {
    using Handle = BCRYPT_HASH_HANDLE;
    static Handle none() { return nullptr; }
    static void close(Handle handle) { BCryptDestroyHash(handle); }
};

struct CngKey {
    using Handle = BCRYPT_KEY_HANDLE;
    static Handle none() { return nullptr; }
    static void close(Handle handle) { BCryptDestroyKey(handle); }
};

// A device context made by CreateCompatibleDC (not one from GetDC).
struct MemoryDc {
    using Handle = HDC;
    static Handle none() { return nullptr; }
    static void close(Handle dc) { DeleteDC(dc); }
};

template <typename Object>
struct GdiObject {
    using Handle = Object;
    static Handle none() { return nullptr; }
    static void close(Handle object) { DeleteObject(object); }
};

}  // namespace handle_kinds

using FileHandle = HandleOwner<handle_kinds::File>;
using KernelHandle = HandleOwner<handle_kinds::Kernel>;
using MappedView = HandleOwner<handle_kinds::MappedView>;
using FileSearch = HandleOwner<handle_kinds::FileSearch>;
using RegistryKey = HandleOwner<handle_kinds::RegistryKey>;
using WinHttpHandle = HandleOwner<handle_kinds::WinHttp>;
using CngAlgorithm = HandleOwner<handle_kinds::CngAlgorithm>;
using CngHash = HandleOwner<handle_kinds::CngHash>;
using CngKey = HandleOwner<handle_kinds::CngKey>;
using MemoryDc = HandleOwner<handle_kinds::MemoryDc>;
// Pens, brushes, fonts, bitmaps: HBITMAP, HFONT… as the creating call returns them.
template <typename Object = HGDIOBJ>
using GdiObject = HandleOwner<handle_kinds::GdiObject<Object>>;
