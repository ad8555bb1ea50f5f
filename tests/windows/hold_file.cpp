// corvane_hold_file [FILE [LET_GO]]: opens FILE (default BroodWar.csv) as a
// spreadsheet does, for reading and without write sharing, prints "holding",
// and keeps it open until a file LET_GO (default let-go) appears in the
// current folder; then closes it, prints "let go" and ends with status 0.
// Status 1 when FILE cannot be opened (the error code is printed).
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  const char* file = argc > 1 ? argv[1] : "BroodWar.csv";
  const char* letGo = argc > 2 ? argv[2] : "let-go";
  HANDLE held = CreateFileA(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    std::printf("cannot open %s: error code %lu\n", file, GetLastError());
    return 1;
  }
  std::printf("holding %s\n", file);
  std::fflush(stdout);
  while (GetFileAttributesA(letGo) == INVALID_FILE_ATTRIBUTES) Sleep(20);
  CloseHandle(held);
  std::printf("let go\n");
  std::fflush(stdout);
  return 0;
}
