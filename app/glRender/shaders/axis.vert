#version 330 core
// Coloured lines: the device pose axes and the corner gizmo.
layout(location = 0) in vec3 aPosition;
layout(location = 1) in vec3 aColor;

uniform mat4 uMVPMatrix;

out vec3 vColor;

void main() {
    gl_Position = uMVPMatrix * vec4(aPosition, 1.0);
    vColor = aColor;
}
