// Drives the installer's interactive mode the way a user would, for the black-box tests.
// Starts OrvidexInstaller.exe (from its own folder, no arguments) with its own standard
// handles, then runs its arguments as a script of steps:
//   wait <title>            wait for a visible top-level window of the installer with that title
//   text <id> <value>       set the text of a control of the current window
//   click <id>              BM_CLICK a button of the current window
//   command <id>            post WM_COMMAND <id> to the current window (what a link sends)
//   state <id>              report "state <id> checked=<0|1> enabled=<0|1> focus=<0|1> text=<text>"
//   firstline <id>          report "firstline <id> <n>": the first visible line of an edit or rich-edit control
//   rect <id>               report "rect <id> <left> <top> <right> <bottom>" in the window's client pixels
//   client                  report "client <width> <height>" of the current window
//   textfit <id>            report "textfit <id> lines=<n> top=<y> bottom=<y> height=<h>" of an edit control
//                           of two lines or more: its first line's top and last line's bottom as
//                           the control lays them out, and its client height
//   size <width> <height>   resize the current window (outer size in pixels), then report "client <w> <h>"
//   minmax                  minimise then restore the current window
//   count <title>           report "count <title> <n>": visible top-level windows of the installer with that title
//   answer <title> <id>     wait for a message box with that title, report "box <title>: <text>", press button <id>
//   close                   send WM_CLOSE to the current window
//   sysclose                the close box: WM_SYSCOMMAND SC_CLOSE to the current window
//   windows                 report "window <title>" for each visible top-level window of the installer
//   screenshot <file>       write the current window as it shows on the screen to a 24-bit BMP file
//   sleep <ms>
// Reports go to standard error. "dialog_driver --hold" starts no installer: it keeps the desktop
// up (see HoldDesktop). At the end it waits for the installer and exits with its
// exit code; a step that fails prints "driver: ..." and ends the installer with exit 99.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

PROCESS_INFORMATION installer;
HWND current = nullptr;

[[noreturn]] void Fail(const std::string& why)
{
    std::fprintf(stderr, "driver: %s\n", why.c_str());
    std::fflush(stderr);
    TerminateProcess(installer.hProcess, 99);
    WaitForSingleObject(installer.hProcess, 10000);
    std::exit(99);
}

void Report(const std::string& line)
{
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

// WM_GETTEXT rather than GetWindowTextA, which does not ask windows of other processes; with
// a time limit, so that a hung window cannot stop a search.
std::string WindowText(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length))
        return "<no answer>";
    std::vector<char> text(static_cast<size_t>(length) + 1, '\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                             2000, &copied))
        return "<no answer>";
    return text.data();
}

struct Search {
    std::string title;
    std::vector<HWND> found;
};

bool IsInstallerWindow(HWND window)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process == installer.dwProcessId && IsWindowVisible(window);
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM data)
{
    Search& search = *reinterpret_cast<Search*>(data);
    if (IsInstallerWindow(window) && WindowText(window) == search.title)
        search.found.push_back(window);
    return TRUE;
}

std::vector<HWND> FindWindows(const std::string& title)
{
    Search search{title, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

BOOL CALLBACK ReportWindow(HWND window, LPARAM)
{
    if (IsInstallerWindow(window))
        Report("window " + WindowText(window));
    return TRUE;
}

// Every visible top-level window, with its process (a box of Wine's own may stand in the way).
BOOL CALLBACK ReportAnyWindow(HWND window, LPARAM)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (IsWindowVisible(window))
        Report(
            "seen window \"" + WindowText(window) + "\" of " +
            (process == installer.dwProcessId ? std::string("the installer") : "process " + std::to_string(process)));
    return TRUE;
}

// Waits up to a minute of wall time (searches on a loaded machine take long themselves).
HWND WaitForWindow(const std::string& title)
{
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 60000) {
        const std::vector<HWND> found = FindWindows(title);
        if (!found.empty())
            return found.front();
        if (WaitForSingleObject(installer.hProcess, 50) == WAIT_OBJECT_0)
            Fail("the installer ended before a window \"" + title + "\" appeared");
    }
    EnumWindows(ReportAnyWindow, 0);
    Fail("no window \"" + title + "\" after " + std::to_string((GetTickCount() - start) / 1000) +
         " s; the visible windows are listed above");
}

// --hold: keeps the desktop of the prefix up while tests drive the installer again and again
// (Wine starts its desktop process with a program's first window, and ends it once no program
// is left on it). Prints "holding" once its window stands, then waits for the end of its input.
int HoldDesktop()
{
    const HWND window = CreateWindowExA(0, "STATIC", "desktop holder", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                        GetModuleHandleA(nullptr), nullptr);
    if (!window) {
        std::fprintf(stderr, "driver: no window to hold the desktop with (%lu)\n", GetLastError());
        return 98;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    char buffer[64];
    DWORD count = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &count, nullptr) && count)
        continue;
    DestroyWindow(window);
    return 0;
}

HWND Control(const std::string& id)
{
    if (!current)
        Fail("no current window");
    const HWND control = GetDlgItem(current, std::atoi(id.c_str()));
    if (!control)
        Fail("no control " + id);
    return control;
}

HWND FocusOf(HWND window)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus : nullptr;
}

void Screenshot(const std::string& file)
{
    RECT rect;
    GetWindowRect(current, &rect);
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    const DWORD imageSize = static_cast<DWORD>(((width * 3 + 3) & ~3) * height);
    BITMAPFILEHEADER header = {};
    header.bfType = 0x4D42;
    header.bfOffBits = sizeof header + sizeof info.bmiHeader;
    header.bfSize = header.bfOffBits + imageSize;
    if (FILE* out = std::fopen(file.c_str(), "wb")) {
        std::fwrite(&header, sizeof header, 1, out);
        std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out);
        std::fwrite(bits, imageSize, 1, out);
        std::fclose(out);
    }
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

void StartInstaller()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string exe(path, length);
    exe = exe.substr(0, exe.find_last_of('\\') + 1) + "OrvidexInstaller.exe";
    std::string command = "\"" + exe + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    if (!CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &installer)) {
        std::fprintf(stderr, "driver: cannot start %s (%lu)\n", exe.c_str(), GetLastError());
        std::exit(99);
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "--hold")
        return HoldDesktop();
    StartInstaller();
    for (size_t i = 0; i < args.size();) {
        const std::string step = args[i++];
        auto next = [&]() -> std::string {
            if (i >= args.size())
                Fail("step " + step + " lacks an argument");
            return args[i++];
        };
        if (step == "wait") {
            current = WaitForWindow(next());
        } else if (step == "text") {
            const HWND control = Control(next());
            const std::string value = next();
            SendMessageA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value.c_str()));
        } else if (step == "click") {
            SendMessageA(Control(next()), BM_CLICK, 0, 0);
        } else if (step == "command") {
            const int id = std::atoi(next().c_str());
            PostMessageA(current, WM_COMMAND, MAKEWPARAM(id, 0), reinterpret_cast<LPARAM>(GetDlgItem(current, id)));
            Sleep(300);
        } else if (step == "state") {
            const std::string id = next();
            const HWND control = Control(id);
            Report("state " + id + " checked=" + (SendMessageA(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? "1" : "0") +
                   " enabled=" + (IsWindowEnabled(control) ? "1" : "0") + " focus=" +
                   (FocusOf(current) == control ? "1" : "0") + " text=" + WindowText(control));
        } else if (step == "firstline") {
            const std::string id = next();
            Report("firstline " + id + " " + std::to_string(SendMessageA(Control(id), EM_GETFIRSTVISIBLELINE, 0, 0)));
        } else if (step == "rect") {
            const std::string id = next();
            RECT rect;
            GetWindowRect(Control(id), &rect);
            MapWindowPoints(nullptr, current, reinterpret_cast<POINT*>(&rect), 2);
            Report("rect " + id + " " + std::to_string(rect.left) + " " + std::to_string(rect.top) + " " +
                   std::to_string(rect.right) + " " + std::to_string(rect.bottom));
        } else if (step == "client") {
            RECT client;
            GetClientRect(current, &client);
            Report("client " + std::to_string(client.right) + " " + std::to_string(client.bottom));
        } else if (step == "textfit") {
            const std::string id = next();
            const HWND control = Control(id);
            const LRESULT lines = SendMessageA(control, EM_GETLINECOUNT, 0, 0);
            if (lines < 2)
                Fail("control " + id + " has fewer than two lines");
            // The control's own layout: where it puts the start of a line (scrolled lines
            // lie above 0, lines past its bottom below the client height).
            auto lineTop = [control](LRESULT line) {
                const LRESULT start = SendMessageA(control, EM_LINEINDEX, static_cast<WPARAM>(line), 0);
                const LRESULT position = SendMessageA(control, EM_POSFROMCHAR, static_cast<WPARAM>(start), 0);
                return static_cast<int>(static_cast<short>(HIWORD(position)));
            };
            const int top = lineTop(0);
            const int bottom = lineTop(lines - 1) + lineTop(1) - top;
            RECT client;
            GetClientRect(control, &client);
            Report("textfit " + id + " lines=" + std::to_string(lines) + " top=" + std::to_string(top) +
                   " bottom=" + std::to_string(bottom) + " height=" + std::to_string(client.bottom));
        } else if (step == "size") {
            const int width = std::atoi(next().c_str());
            const int height = std::atoi(next().c_str());
            SetWindowPos(current, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER);
            Sleep(200);
            RECT client;
            GetClientRect(current, &client);
            Report("client " + std::to_string(client.right) + " " + std::to_string(client.bottom));
        } else if (step == "minmax") {
            ShowWindow(current, SW_MINIMIZE);
            Sleep(300);
            ShowWindow(current, SW_RESTORE);
            Sleep(300);
        } else if (step == "count") {
            const std::string title = next();
            Report("count " + title + " " + std::to_string(FindWindows(title).size()));
        } else if (step == "answer") {
            const std::string title = next();
            const int button = std::atoi(next().c_str());
            const HWND box = WaitForWindow(title);
            Report("box " + title + ": " + WindowText(GetDlgItem(box, 0xFFFF)));
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
        } else if (step == "close") {
            PostMessageA(current, WM_CLOSE, 0, 0);
        } else if (step == "sysclose") {
            PostMessageA(current, WM_SYSCOMMAND, SC_CLOSE, 0);
            Sleep(300);
        } else if (step == "windows") {
            EnumWindows(ReportWindow, 0);
        } else if (step == "screenshot") {
            Screenshot(next());
        } else if (step == "sleep") {
            Sleep(static_cast<DWORD>(std::atoi(next().c_str())));
        } else {
            Fail("unknown step " + step);
        }
    }
    if (WaitForSingleObject(installer.hProcess, 120000) != WAIT_OBJECT_0)
        Fail("the installer did not end");
    DWORD code = 0;
    GetExitCodeProcess(installer.hProcess, &code);
    Report("exit " + std::to_string(code));
    return static_cast<int>(code);
}
