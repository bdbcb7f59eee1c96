#pragma once
// The agent's pictures, drawn in code so that the program needs no image files:
//
// - state pictures of a list row: 0 hourglass (in progress), 1 tick (OK),
//   2 cross in a circle (error), 3 plain cross (communication error);
//   any other index (4) is "no state picture";
// - small pictures of a list row: 0 start-up, 1 window shown, 2 window
//   hidden, 3 step in progress, 4 cycle phase or other information;
//   any other index (5) is "no small picture";
// - the Play, Pausa and Exit button pictures and the agent's icon.
//
// Row() joins both pictures of a row side by side (state picture on the left,
// small picture on the right); an absent picture leaves its slot transparent,
// so the columns of pictures stay aligned.
//
// Thread safety: pixmaps may only be made on the user-interface thread.

#include <QIcon>
#include <QPixmap>

class RowPictures {
public:
    static constexpr int kSize = 16;  // side of one picture
    static constexpr int kGap = 2;    // space between the two pictures of a row
    static constexpr int kStateCount = 4;
    static constexpr int kSmallCount = 5;

    // Null pixmap when index is "none".
    static QPixmap State(int index);
    static QPixmap Small(int index);

    // The column-0 picture of a row: kRowWidth x kSize, cached per pair.
    static constexpr int kRowWidth = 2 * kSize + kGap;
    static QPixmap Row(int image, int state);

    static QIcon PlayIcon();
    static QIcon PausaIcon();
    static QIcon ExitIcon();
    static QIcon AgentIcon();
};
