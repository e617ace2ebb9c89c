#include <edgemap.h>

// Without a path the call still returns 999 after reporting both opens.
int main() { return QTVSolbelP(nullptr, nullptr) == 999 ? 0 : 1; }
