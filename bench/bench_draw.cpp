// The cost of drawing: rectangles drawn off-screen and shown with one REFRESH,
// against rectangles each copied to the window as it is drawn.
#include <string>
#include <vector>

#include "bench.h"

// One block per rectangle, made before timing so that only the library is measured.
static std::vector<std::string> RectangleBlocks(int count) {
    std::vector<std::string> blocks;
    for (int i = 0; i < count; ++i) {
        int x = (i * 7) % 560, y = (i * 13) % 400;
        blocks.push_back(MakeBlock({"DRAW", "RECTANGLE", std::to_string(x), std::to_string(y),
                                              std::to_string(x + 40), std::to_string(y + 30)}));
    }
    return blocks;
}

void BenchDraw(BenchLibrary& lib) {
    const int runs = 5;
    const int offscreenShapes = 20000;
    const int onscreenShapes = 2000;
    std::vector<std::string> blocks = RectangleBlocks(offscreenShapes);
    std::string offscreen = MakeBlock({"DRAW", "OFFSCREEN"});
    std::string onscreen = MakeBlock({"DRAW", "ONSCREEN"});
    std::string refresh = MakeBlock({"DRAW", "REFRESH"});
    lib.Command({"DRAW", "PEN", "DKBLUE", "SOLID", "1"});
    lib.Command({"DRAW", "FILL", "YELLOW"});
    lib.Command({"DRAW", "REFRESH"});  // the surface is made outside the timing

    double hidden = MedianSeconds(runs, [&] {
        lib.commandProc(offscreen.data());
        for (int i = 0; i < offscreenShapes; ++i) lib.commandProc(blocks[i].data());
        lib.commandProc(refresh.data());
    });
    double shown = MedianSeconds(runs, [&] {
        lib.commandProc(onscreen.data());
        for (int i = 0; i < onscreenShapes; ++i) lib.commandProc(blocks[i].data());
    });

    RECT client;
    GetClientRect(lib.window, &client);
    Report("client area copied by each on-screen shape", double(client.right) * client.bottom, "pixels");
    Report("20,000 RECTANGLE off-screen + 1 REFRESH", hidden * 1e3, "ms");
    Report("  shapes per second off-screen", offscreenShapes / hidden, "shapes/s");
    Report("2,000 RECTANGLE on-screen", shown * 1e3, "ms");
    Report("  shapes per second on-screen", onscreenShapes / shown, "shapes/s");
    Report("on-screen cost per shape / off-screen cost per shape",
           (shown / onscreenShapes) / (hidden / offscreenShapes), "x");
}
