// Stands for the token vendor's library: a dependency that can be missing at run time.
extern "C" int TcVendorPresent() {
    return 1;
}
