// The entry of a Windows program: the platform hands WinMain the command line
// after the program's name, which on this host is argv[1..] joined with blanks.
#include <windows.h>

#include <string>

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd);

int main(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; i++) line += (i > 1 ? " " : "") + std::string(argv[i]);
    return WinMain(GetModuleHandleA(nullptr), nullptr, line.data(), 1);
}
