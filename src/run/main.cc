// particion: splits a pixel list into a training and a test set.

#include <cstdio>

#include "run/run.h"

int main() { return particion::RunSplit(stdin, stdout, stderr); }
