#include "zrq/zrq.h"

int main(int argc, char** argv) { return RunZrq(argc, argv); }
