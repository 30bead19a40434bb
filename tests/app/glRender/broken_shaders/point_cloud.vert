#version 330 core
// Does not compile: the views must report it with the compiler's log.
void main() {
    gl_Position = undeclared_name;
}
