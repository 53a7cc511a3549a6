// A sample SFTP plug-in: the smallest library a plug-in can be. The installer ships both
// the library and this source.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}

// The plug-in interface version this sample was written for.
extern "C" __declspec(dllexport) DWORD WINAPI SftpPluginInterfaceVersion()
{
    return 1;
}
