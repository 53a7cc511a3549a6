// payload_bench DIR ROUNDS: times the fifteen payload files written into DIR three ways:
// "extract", the installer's own inflation and writing of each file; "step", the whole payload
// step of an unattended installation (with its checks, lines and pending-deletion look-ups);
// and "raw", Crypto++'s plain way, a zlib decompressor feeding a file sink. Each round runs
// the three in a rotating order on an emptied directory and prints "NAME MS" for each.
#include "installer/file_helpers.h"
#include "installer/installer_state.h"
#include "installer/payload_files.h"

#include <cryptopp/files.h>
#include <cryptopp/zlib.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>

namespace {

std::string Target(const PayloadFile& file)
{
    return *file.fileName ? CombinePath(installerState.installDir, file.fileName) : installerState.uninstallerPath;
}

void Extract()
{
    for (const PayloadFile& file : PayloadFiles)
        WritePayloadFile(file.resourceId, Target(file));
}

void Step()
{
    installerState.uninstallParams.clear();
    PayloadFileList files;
    for (size_t index = 0; index < PayloadFileCount; ++index)
        files.Write(index);
    files.Commit();
}

void Raw()
{
    for (const PayloadFile& file : PayloadFiles) {
        const HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(file.resourceId), "BINARY");
        const void* bytes = LockResource(LoadResource(nullptr, resource));
        const DWORD size = SizeofResource(nullptr, resource);
        CryptoPP::ZlibDecompressor decompressor(new CryptoPP::FileSink(Target(file).c_str(), true));
        decompressor.Put(static_cast<const CryptoPP::byte*>(bytes), size);
        decompressor.MessageEnd();
    }
}

struct Variant {
    const char* name;
    void (*run)();
};

void Time(const Variant& variant)
{
    for (const PayloadFile& file : PayloadFiles)
        DeleteFileA(Target(file).c_str());
    const auto start = std::chrono::steady_clock::now();
    variant.run();
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("%s %.3f\n", variant.name, elapsed.count());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("usage: payload_bench DIR ROUNDS\n", stderr);
        return 2;
    }
    try {
        installerState.installDir = argv[1];
        installerState.uninstallerPath = CombinePath(installerState.installDir, "uninst.exe");
        installerState.mainExePath = CombinePath(installerState.installDir, "orvidex.exe");
        if (!CreateDirectoryA(argv[1], nullptr))
            throw std::runtime_error(std::string("cannot create ") + argv[1]);
        const Variant variants[] = {{"extract", Extract}, {"step", Step}, {"raw", Raw}};
        const int count = sizeof variants / sizeof variants[0];
        const int rounds = std::atoi(argv[2]);
        for (int round = 0; round < rounds; ++round)
            for (int i = 0; i < count; ++i)
                Time(variants[(round + i) % count]);
        for (const PayloadFile& file : PayloadFiles)
            DeleteFileA(Target(file).c_str());
        RemoveDirectoryA(argv[1]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "payload_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
