#version 330 core
// Points are full squares of the point size, opaque.
in vec3 vColor;
in float vIntensity;
in float vLabel;

out vec4 FragColor;

void main() {
    FragColor = vec4(vColor, 1.0);
}
