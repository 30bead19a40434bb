#version 330 core
// The picture's quad.
layout(location = 0) in vec3 position;
layout(location = 1) in vec2 texCoord;

uniform mat4 mvpMatrix;

out vec2 TexCoord;

void main() {
    gl_Position = mvpMatrix * vec4(position, 1.0);
    TexCoord = texCoord;
}
