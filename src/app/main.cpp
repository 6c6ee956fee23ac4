#include "app/quarn_main.h"

int main(int argc, char** argv) { return quarn::quarn_main(argc, argv); }
