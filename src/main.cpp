#include "app/Application.h"

int main(int argc, char** argv) {
    return quippet::runApplication(argc, argv);
}
