// Test helper: ends in an access violation, so that the tests see how a
// program that crashes is reported.
int main() {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return 0;
}
