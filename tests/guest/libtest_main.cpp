// The library test image: every library function, called by name from the
// tests. Its own main does nothing.
extern "C" int main(int, char**) {
    return 0;
}
