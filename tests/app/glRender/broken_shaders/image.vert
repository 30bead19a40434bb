#version 330 core
// Does not compile: the preview must report it and show nothing.
void main() {
    gl_Position = undeclared_name;
}
