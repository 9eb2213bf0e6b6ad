// shapes: C++ on vekos: classes with virtual destructors on the heap, and a range-for over
// an initializer list. Prints the total area of three squares and a rectangle.
#include <initializer_list>
#include <stdio.h>
#include <vekos_meta.h>

VEKOS_COMMAND("Add up the areas of a few shapes.", "shapes");
VEKOS_PACKAGE("rpn-example", "1");

namespace {

int destroyed = 0;

struct Shape {
    virtual ~Shape() { destroyed++; }
    virtual int area() const = 0;
};

struct Rectangle : Shape {
    Rectangle(int w, int h) : width(w), height(h) {}
    int area() const override { return width * height; }
    int width, height;
};

struct Square : Rectangle {
    explicit Square(int side) : Rectangle(side, side) {}
};

} // namespace

int main() {
    int total = 0;
    for (int side : {1, 2, 3}) {
        Shape *shape = new Square(side);
        total += shape->area();
        delete shape;
    }
    Rectangle *pair = new Rectangle[2]{{2, 5}, {1, 1}};
    total += pair[0].area() + pair[1].area();
    delete[] pair;
    printf("total area %d, %d shapes destroyed\n", total, destroyed);
    return destroyed == 5 ? 0 : 1;
}
