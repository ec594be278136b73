// Replays saved fuzz inputs (files named on the command line) where libFuzzer is not at hand.
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        FILE* f = fopen(argv[i], "rb");
        if (!f) {
            fprintf(stderr, "cannot open %s\n", argv[i]);
            return 1;
        }
        std::vector<uint8_t> bytes;
        int c;
        while ((c = fgetc(f)) != EOF) bytes.push_back(uint8_t(c));
        fclose(f);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    printf("replayed %d inputs\n", argc - 1);
    return 0;
}
