// korvana: the desktop window.
#include "app/korvanaapp.h"

int main(int argc, char** argv) {
    return Korvana_main(argc, argv);
}
