#include "shell.h"

void doSetzenFileName()
{
    gFileName = nullptr;
}
